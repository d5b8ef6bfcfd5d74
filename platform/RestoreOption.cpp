#include "platform/RestoreOption.h"

#include <nlohmann/json.hpp>

#include "platform/EvEvent.h"
#include "platform/InputLimits.h"
#include "platform/ProxyInputFile.h"
#include "platform/RestoreOptionOrigins.h"

using namespace RestoreOptionOrigins;

namespace TMMsg {

namespace {

using namespace RestoreOptionFields;

const MessageSchema kCredentialsSchema{"credentials",
                                       {{"userName", kUserName, FieldKind::String},
                                        {"password", kPassword, FieldKind::Password}}};

const MessageSchema kDestinationVMSchema{"destinationVM",
                                         {{"serverName", kServerName, FieldKind::String},
                                          {"serverCredentials", kServerCredentials, FieldKind::Object,
                                           &kCredentialsSchema},
                                          {"vmGuid", kVMGuid, FieldKind::String},
                                          {"vmName", kVMName, FieldKind::String},
                                          {"guestCredentials", kGuestCredentials, FieldKind::Object,
                                           &kCredentialsSchema}}};

const MessageSchema kInstanceEntitySchema{"instanceEntity",
                                          {{"instanceId", kInstanceId, FieldKind::Int64},
                                           {"clientId", kClientId, FieldKind::Int64}}};

const MessageSchema kVMFileLevelRestoreSchema{
    "vmFileLevelRestore",
    {{"restoreToVM", kRestoreToVM, FieldKind::Int64},
     {"destinationVM", kDestinationVM, FieldKind::Object, &kDestinationVMSchema},
     {"instanceEntity", kInstanceEntity, FieldKind::Object, &kInstanceEntitySchema}}};

const MessageSchema kCommonOptionsSchema{"commonOptions",
                                         {{"restoreACLs", kRestoreACLs, FieldKind::Int64},
                                          {"backupSuffix", kBackupSuffix, FieldKind::String}}};

const MessageSchema kRestoreOptionSchema{
    "restoreOptions",
    {{"vmFileLevelRestore", kVMFileLevelRestore, FieldKind::Object, &kVMFileLevelRestoreSchema},
     {"commonOptions", kCommonOptions, FieldKind::Object, &kCommonOptionsSchema}}};

const char* KindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::Int64:
      return "an integer";
    case FieldKind::String:
      return "a string";
    case FieldKind::Password:
      return "a password string";
    case FieldKind::Object:
      return "an object";
  }
  return "a value";
}

}  // namespace

const MessageSchema& RestoreOptionSchema() { return kRestoreOptionSchema; }

}  // namespace TMMsg

using TMMsg::FieldKind;
using TMMsg::FieldSchema;

CNMessageBase::CNMessageBase() : m_schema(nullptr) {}

CNMessageBase::CNMessageBase(const TMMsg::MessageSchema& schema) : m_schema(&schema) {}

CNMessageBase::~CNMessageBase() = default;

CNMessageBase** CNMessageBase::getObjectAccessor(bool, bool createIfAbsent, short index, short tag, unsigned long,
                                                 unsigned int, int, int) {
  const FieldSchema* field = FindByAddress(index, tag, FieldKind::Object);
  if (field == nullptr) {
    ReportUnknownAddress("object", index, tag);
    return nullptr;
  }
  auto slot = m_objects.find(index);
  if (slot == m_objects.end()) {
    if (!createIfAbsent) {
      return nullptr;
    }
    CreateObject(*field);
    slot = m_objects.find(index);
  }
  return &slot->second;
}

std::string CNMessageBase::getstring(short index, short tag, unsigned long, unsigned int) const {
  if (FindByAddress(index, tag, FieldKind::String) == nullptr) {
    ReportUnknownAddress("string", index, tag);
    return std::string();
  }
  auto value = m_strings.find(index);
  return value == m_strings.end() ? std::string() : value->second;
}

int64_t CNMessageBase::getint64(short tag, unsigned long, unsigned int) const {
  const FieldSchema* field = FindByTag(tag, FieldKind::Int64);
  if (field == nullptr) {
    ReportUnknownAddress("integer", -1, tag);
    return 0;
  }
  auto value = m_int64s.find(field->index);
  return value == m_int64s.end() ? 0 : value->second;
}

bool CNMessageBase::isSet(short index, unsigned long, unsigned long) const {
  const FieldSchema* field = FindByIndex(index);
  if (field == nullptr) {
    ReportUnknownAddress("presence test", index, -1);
    return false;
  }
  switch (field->kind) {
    case FieldKind::Int64:
      return m_int64s.count(index) != 0;
    case FieldKind::String:
      return m_strings.count(index) != 0;
    case FieldKind::Password:
      return m_passwords.count(index) != 0;
    case FieldKind::Object:
      return m_objects.count(index) != 0;
  }
  return false;
}

pstring CNMessageBase::getpstringobject(short index, short tag, unsigned long, unsigned int) const {
  if (FindByAddress(index, tag, FieldKind::Password) == nullptr) {
    ReportUnknownAddress("password", index, tag);
    return pstring();
  }
  auto value = m_passwords.find(index);
  return value == m_passwords.end() ? pstring() : value->second;
}

const CNMessageBase& CNMessageBase::nestedOrEmpty(short index, short tag) const {
  static const CNMessageBase kEmpty;
  if (FindByAddress(index, tag, FieldKind::Object) == nullptr) {
    ReportUnknownAddress("object", index, tag);
    return kEmpty;
  }
  auto slot = m_objects.find(index);
  return slot == m_objects.end() ? kEmpty : *slot->second;
}

bool CNMessageBase::loadJson(nlohmann::json& object, std::string& error) {
  const char* messageName = m_schema != nullptr ? m_schema->name : "message";
  if (!object.is_object()) {
    error = std::string("[") + messageName + "] must be a JSON object";
    return false;
  }
  for (auto& [name, value] : object.items()) {
    const FieldSchema* field = nullptr;
    if (m_schema != nullptr) {
      for (const FieldSchema& candidate : m_schema->fields) {
        if (name == candidate.name) {
          field = &candidate;
        }
      }
    }
    if (field == nullptr) {
      error = "unknown field [" + name + "] in [" + messageName + "]";
      return false;
    }
    bool kindMatches = false;
    switch (field->kind) {
      case FieldKind::Int64:
        // A number past the signed 64-bit range would read back as a different one.
        kindMatches = (value.is_number_integer() &&
                       !(value.is_number_unsigned() && value.get<uint64_t>() > static_cast<uint64_t>(INT64_MAX))) ||
                      value.is_boolean();
        if (kindMatches) {
          m_int64s[field->index] = value.is_boolean() ? (value.get<bool>() ? 1 : 0) : value.get<int64_t>();
        }
        break;
      case FieldKind::String:
        kindMatches = value.is_string();
        if (kindMatches) {
          m_strings[field->index] = value.get_ref<const std::string&>();
        }
        break;
      case FieldKind::Password:
        kindMatches = value.is_string();
        if (kindMatches) {
          m_passwords[field->index] = pstring(value.get_ref<const std::string&>());
          WipeString(value.get_ref<std::string&>());
        }
        break;
      case FieldKind::Object:
        kindMatches = value.is_object();
        if (kindMatches && !CreateObject(*field)->loadJson(value, error)) {
          return false;
        }
        break;
    }
    if (!kindMatches) {
      error = "field [" + name + "] in [" + messageName + "] must be " + TMMsg::KindName(field->kind);
      return false;
    }
  }
  return true;
}

void CNMessageBase::clearFields() {
  m_int64s.clear();
  m_strings.clear();
  m_passwords.clear();
  m_objects.clear();
  m_ownedObjects.clear();
}

const FieldSchema* CNMessageBase::FindByAddress(short index, short tag, FieldKind kind) const {
  if (m_schema == nullptr) {
    return nullptr;
  }
  for (const FieldSchema& field : m_schema->fields) {
    if (field.index == index && field.tag == tag && field.kind == kind) {
      return &field;
    }
  }
  return nullptr;
}

const FieldSchema* CNMessageBase::FindByTag(short tag, FieldKind kind) const {
  if (m_schema == nullptr) {
    return nullptr;
  }
  for (const FieldSchema& field : m_schema->fields) {
    if (field.tag == tag && field.kind == kind) {
      return &field;
    }
  }
  return nullptr;
}

const FieldSchema* CNMessageBase::FindByIndex(short index) const {
  if (m_schema == nullptr) {
    return nullptr;
  }
  for (const FieldSchema& field : m_schema->fields) {
    if (field.index == index) {
      return &field;
    }
  }
  return nullptr;
}

// Replaces whatever object the field held by a new empty one of the field's schema.
CNMessageBase* CNMessageBase::CreateObject(const FieldSchema& field) {
  m_ownedObjects.push_back(std::make_unique<CNMessageBase>(*field.nested));
  CNMessageBase* created = m_ownedObjects.back().get();
  m_objects[field.index] = created;
  return created;
}

// An address the schema does not know is a fault of the reader, not an absent value; it is
// logged. A message without schema is the empty stand-in for an absent object and stays silent.
void CNMessageBase::ReportUnknownAddress(const char* accessor, short index, short tag) const {
  if (m_schema == nullptr) {
    return;
  }
  EvDebug log;
  log.Error(kReportUnknownAddressOrigin, "No %s field at index [%d] tag [%d] in message [%s]", accessor, index, tag,
            m_schema->name);
}

namespace TMMsg {

RestoreOption::RestoreOption() : CNMessageBase(RestoreOptionSchema()) {}

bool RestoreOption::LoadFromJson(const std::string& text) {
  clearFields();
  std::string error;
  nlohmann::json document;
  if (!ParseJsonWithLimits(text, {kRestoreOptionMaxBytes, kJsonMaxDepth}, document, error)) {
    error = "the text is " + error;
  } else if (loadJson(document, error)) {
    return true;
  }
  clearFields();
  EvDebug log;
  log.Error(kLoadFromJsonOrigin, "Invalid restore options JSON: %s", error.c_str());
  return false;
}

bool RestoreOption::LoadFromJsonFile(const std::string& path) {
  std::string text;
  std::string error;
  if (!ProxyInputFile::ReadText(path, ProxyInputFile::Role::Config, kRestoreOptionMaxBytes, text, error)) {
    clearFields();
    EvDebug log;
    log.Error(kLoadFromJsonFileOrigin, "Failed to read restore options file [%s]: %s", path.c_str(), error.c_str());
    return false;
  }
  const bool loaded = LoadFromJson(text);
  WipeString(text);
  return loaded;
}

}  // namespace TMMsg
