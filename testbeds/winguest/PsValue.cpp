#include "PsValue.h"

#include <cstdio>
#include <cstdlib>

namespace winguest {

namespace {

std::string FormatDouble(double value, const std::string& decimalSeparator) {
  char text[64];
  std::snprintf(text, sizeof text, "%.15g", value);
  std::string out = text;
  const size_t dot = out.find('.');
  if (dot != std::string::npos) out.replace(dot, 1, decimalSeparator);
  return out;
}

std::string JoinItems(const PsArray& items, const CultureInfo* culture) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += " ";
    out += culture ? ToCultureString(items[i], *culture) : ToInvariantString(items[i]);
  }
  return out;
}

}  // namespace

bool IsTrue(const PsValue& value) {
  if (value.IsNull()) return false;
  if (auto b = value.As<bool>()) return *b;
  if (auto i = value.As<int64_t>()) return *i != 0;
  if (auto d = value.As<double>()) return *d != 0.0;
  if (auto s = value.As<std::string>()) return !s->empty();
  if (value.IsArray()) {
    const PsArray& items = value.Items();
    if (items.empty()) return false;
    return items.size() == 1 ? IsTrue(items[0]) : true;
  }
  return true;
}

std::string ToInvariantString(const PsValue& value) {
  if (value.IsNull()) return "";
  if (auto b = value.As<bool>()) return *b ? "True" : "False";
  if (auto i = value.As<int64_t>()) return std::to_string(*i);
  if (auto d = value.As<double>()) return FormatDouble(*d, ".");
  if (auto s = value.As<std::string>()) return *s;
  if (auto t = value.As<DotNetDateTime>()) {
    std::string error;
    return FormatDateTime(*t, "G", InvariantCulture(), error);
  }
  if (auto item = value.As<GuestItem>()) return item->path.Text();
  if (auto volume = value.As<PsVolume>()) return "MSFT_Volume (DriveLetter = \"" + volume->driveLetter + "\")";
  if (auto type = value.As<PsType>()) return type->fullName;
  if (value.As<PsFileHash>()) return "Microsoft.PowerShell.Commands.FileHashInfo";
  if (auto culture = value.As<PsCulture>()) return culture->info->name;
  return JoinItems(value.Items(), nullptr);
}

std::string ToCultureString(const PsValue& value, const CultureInfo& culture) {
  if (auto t = value.As<DotNetDateTime>()) {
    std::string error;
    return FormatDateTime(*t, "G", culture, error);
  }
  if (auto d = value.As<double>()) return FormatDouble(*d, culture.name == "de-DE" ? "," : ".");
  if (value.IsArray()) return "System.Object[]";
  return ToInvariantString(value);
}

double ToDouble(const PsValue& value, bool& ok) {
  ok = true;
  if (value.IsNull()) return 0;
  if (auto b = value.As<bool>()) return *b ? 1 : 0;
  if (auto i = value.As<int64_t>()) return static_cast<double>(*i);
  if (auto d = value.As<double>()) return *d;
  if (auto s = value.As<std::string>()) {
    char* end = nullptr;
    const double parsed = std::strtod(s->c_str(), &end);
    ok = !s->empty() && end && *end == '\0';
    return ok ? parsed : 0;
  }
  ok = false;
  return 0;
}

PsType TypeOf(const PsValue& value) {
  if (value.As<bool>()) return {"Boolean", "System.Boolean"};
  if (value.As<int64_t>()) return {"Int64", "System.Int64"};
  if (value.As<double>()) return {"Double", "System.Double"};
  if (value.As<std::string>()) return {"String", "System.String"};
  if (value.As<DotNetDateTime>()) return {"DateTime", "System.DateTime"};
  if (auto item = value.As<GuestItem>()) {
    return item->isDirectory ? PsType{"DirectoryInfo", "System.IO.DirectoryInfo"}
                             : PsType{"FileInfo", "System.IO.FileInfo"};
  }
  if (value.As<PsVolume>()) return {"CimInstance", "Microsoft.Management.Infrastructure.CimInstance"};
  if (value.As<PsType>()) return {"RuntimeType", "System.RuntimeType"};
  if (value.As<PsFileHash>()) return {"FileHashInfo", "Microsoft.PowerShell.Commands.FileHashInfo"};
  if (value.As<PsCulture>()) return {"CultureInfo", "System.Globalization.CultureInfo"};
  return {"Object[]", "System.Object[]"};
}

}  // namespace winguest
