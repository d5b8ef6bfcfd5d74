// Values of the guest's PowerShell: the .NET objects its scripts meet (numbers, strings,
// booleans, DateTime, FileInfo/DirectoryInfo, volumes, types, cultures) and arrays of them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "DotNetTime.h"
#include "GuestFileSystem.h"

namespace winguest {

struct PsVolume {
  std::string driveLetter;  // empty: no letter ($null in PowerShell)
  std::string driveType;
};

// What Get-FileHash returns (Microsoft.PowerShell.Commands.FileHashInfo).
struct PsFileHash {
  std::string algorithm;  // SHA256
  std::string hash;       // upper-case hexadecimal, as Windows prints it
  std::string path;
};

struct PsType {
  std::string name;      // DirectoryInfo
  std::string fullName;  // System.IO.DirectoryInfo
};

struct PsCulture {
  const CultureInfo* info = nullptr;
};

struct PsValue;
using PsArray = std::vector<PsValue>;

struct PsValue {
  std::variant<std::monostate, bool, int64_t, double, std::string, DotNetDateTime, GuestItem, PsVolume, PsType,
               PsCulture, PsFileHash, std::shared_ptr<PsArray>>
      data;

  PsValue() = default;
  PsValue(bool value) : data(value) {}
  PsValue(int64_t value) : data(value) {}
  PsValue(double value) : data(value) {}
  PsValue(std::string value) : data(std::move(value)) {}
  PsValue(const char* value) : data(std::string(value)) {}
  PsValue(DotNetDateTime value) : data(value) {}
  PsValue(GuestItem value) : data(std::move(value)) {}
  PsValue(PsVolume value) : data(std::move(value)) {}
  PsValue(PsFileHash value) : data(std::move(value)) {}
  PsValue(PsType value) : data(std::move(value)) {}
  PsValue(PsCulture value) : data(value) {}
  static PsValue Array(PsArray items) { return FromArray(std::make_shared<PsArray>(std::move(items))); }
  static PsValue FromArray(std::shared_ptr<PsArray> items) {
    PsValue value;
    value.data = std::move(items);
    return value;
  }

  bool IsNull() const { return std::holds_alternative<std::monostate>(data); }
  bool IsArray() const { return std::holds_alternative<std::shared_ptr<PsArray>>(data); }
  bool IsString() const { return std::holds_alternative<std::string>(data); }
  bool IsNumber() const { return std::holds_alternative<int64_t>(data) || std::holds_alternative<double>(data); }
  template <typename T>
  const T* As() const {
    return std::get_if<T>(&data);
  }
  const PsArray& Items() const { return *std::get<std::shared_ptr<PsArray>>(data); }
};

// What $null-tolerant conditions see: empty strings, zero, $null and empty arrays are false.
bool IsTrue(const PsValue& value);
// PowerShell's own conversion to string (string expansion, "+" with a string): invariant culture.
std::string ToInvariantString(const PsValue& value);
// Object.ToString(), which Write-Host and .ToString() use: the guest's culture.
std::string ToCultureString(const PsValue& value, const CultureInfo& culture);
double ToDouble(const PsValue& value, bool& ok);
PsType TypeOf(const PsValue& value);

}  // namespace winguest
