// The restore-options message of the host framework. A message is a tree of objects; each field
// of an object is addressed by two small numbers, its index and its tag, as the accessors take them:
// objects, strings and protected strings by (index, tag), 64-bit integers by tag, presence tests by
// index. Reading through an absent object gives an empty string, a zero and "not set", so that a
// reader need not test every level of the tree.
//
// The readable form of the message is JSON with field names (docs/restore-options.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "platform/RestoreOptionFields.h"
#include "platform/pstring.h"

namespace TMMsg {

// Type-check constants of the accessors. Fields are checked by their (index, tag) address and
// their kind, so these are accepted for the host's signatures and carry no further meaning.
constexpr unsigned long kTypeCheckAny = 0;
constexpr unsigned int kFieldCheckAny = 0;

enum class FieldKind { Int64, String, Password, Object };

struct MessageSchema;

// One field of a message: its name in the readable form, its address and its kind.
struct FieldSchema {
  FieldSchema(const char* name, FieldAddress address, FieldKind kind, const MessageSchema* nested = nullptr)
      : name(name), index(address.index), tag(address.tag), kind(kind), nested(nested) {}

  const char* name;
  short index;
  short tag;
  FieldKind kind;
  const MessageSchema* nested;  // the schema of an Object field, else null
};

struct MessageSchema {
  const char* name;
  std::vector<FieldSchema> fields;
};

// Schemas of the restore-options message and its nested objects.
const MessageSchema& RestoreOptionSchema();

}  // namespace TMMsg

class CNMessageBase {
 public:
  // A message with no schema holds nothing; every read of it yields the empty value.
  CNMessageBase();
  explicit CNMessageBase(const TMMsg::MessageSchema& schema);
  virtual ~CNMessageBase();
  CNMessageBase(const CNMessageBase&) = delete;
  CNMessageBase& operator=(const CNMessageBase&) = delete;

  // A pointer to the slot holding the nested object at (index, tag): null when the object is
  // absent, unless `createIfAbsent` is true, in which case an empty object is created there.
  // `typeChecked` and the trailing constants are accepted for the host's signature.
  CNMessageBase** getObjectAccessor(bool typeChecked, bool createIfAbsent, short index, short tag,
                                    unsigned long typeCheck, unsigned int fieldCheck, int, int);
  std::string getstring(short index, short tag, unsigned long typeCheck, unsigned int fieldCheck) const;
  int64_t getint64(short tag, unsigned long typeCheck, unsigned int fieldCheck) const;
  bool isSet(short index, unsigned long typeCheck, unsigned long fieldCheck) const;
  pstring getpstringobject(short index, short tag, unsigned long typeCheck, unsigned int fieldCheck) const;

  // The nested object at (index, tag), or a shared empty message when it is absent.
  const CNMessageBase& nestedOrEmpty(short index, short tag) const;

  // Fills this message from a JSON object with the schema's field names. On a name the schema
  // does not know or a value of the wrong kind: false with `error` set; the message may then be
  // partly filled. Password values are wiped from `object` once taken over.
  bool loadJson(nlohmann::json& object, std::string& error);

  const TMMsg::MessageSchema* schema() const { return m_schema; }

 protected:
  void clearFields();

 private:
  const TMMsg::FieldSchema* FindByAddress(short index, short tag, TMMsg::FieldKind kind) const;
  const TMMsg::FieldSchema* FindByTag(short tag, TMMsg::FieldKind kind) const;
  const TMMsg::FieldSchema* FindByIndex(short index) const;
  CNMessageBase* CreateObject(const TMMsg::FieldSchema& field);
  void ReportUnknownAddress(const char* accessor, short index, short tag) const;

  const TMMsg::MessageSchema* m_schema;
  std::map<short, int64_t> m_int64s;                // by index
  std::map<short, std::string> m_strings;           // by index
  std::map<short, pstring> m_passwords;             // by index
  std::map<short, CNMessageBase*> m_objects;        // by index; the map's nodes are the slots
  std::vector<std::unique_ptr<CNMessageBase>> m_ownedObjects;
};

namespace TMMsg {

// The longest readable form accepted; its nesting is limited to kJsonMaxDepth (InputLimits.h).
constexpr size_t kRestoreOptionMaxBytes = 1024 * 1024;

class RestoreOption : public CNMessageBase {
 public:
  RestoreOption();

  // Builds the message from its readable JSON form. Malformed text, a text past the limits, an
  // unknown field name or a value of the wrong kind: false and one error line; the message is then
  // left empty.
  bool LoadFromJson(const std::string& text);
  bool LoadFromJsonFile(const std::string& path);
};

}  // namespace TMMsg
