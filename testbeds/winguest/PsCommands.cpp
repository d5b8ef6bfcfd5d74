#include "PsCommands.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <map>
#include <sstream>

#include "PsInterpreter.h"
#include "platform/ReplaceChoices.h"

namespace winguest {

namespace {

struct ParameterSpec {
  const char* name;
  bool isSwitch;
  int position;  // -1: named only
  bool remaining = false;
};

class BoundParameters {
 public:
  bool Has(const std::string& name) const { return m_values.count(Key(name)) != 0; }
  const PsValue& Get(const std::string& name) const {
    static const PsValue none;
    const auto found = m_values.find(Key(name));
    return found == m_values.end() ? none : found->second;
  }
  bool Switch(const std::string& name) const { return Has(name) && IsTrue(Get(name)); }
  void Set(const std::string& name, PsValue value) { m_values[Key(name)] = std::move(value); }

 private:
  static std::string Key(const std::string& name) { return boost::algorithm::to_lower_copy(name); }
  std::map<std::string, PsValue> m_values;
};

struct CommandSpec;
using CommandBody = void (*)(PsInterpreter&, const CommandSpec&, const BoundParameters&, const PsArray& input,
                             PsArray& output);

struct CommandSpec {
  const char* name;
  const char* fullName;  // for error identifiers
  std::vector<const char*> aliases;
  std::vector<ParameterSpec> parameters;
  CommandBody body;
};

PsError BindingError(const std::string& command, const std::string& message, const std::string& errorId,
                     const std::string& fullName) {
  return PsError{command, message, "InvalidArgument: (:) [" + command + "], ParameterBindingException",
                 errorId + "," + fullName};
}

const ParameterSpec* FindParameter(const CommandSpec& spec, const std::string& given) {
  std::vector<const ParameterSpec*> prefixed;
  for (const ParameterSpec& parameter : spec.parameters) {
    if (boost::algorithm::iequals(parameter.name, given)) return &parameter;
    if (boost::algorithm::istarts_with(parameter.name, given)) prefixed.push_back(&parameter);
  }
  if (prefixed.size() == 1) return prefixed[0];
  if (prefixed.size() > 1) {
    std::string names;
    for (const ParameterSpec* parameter : prefixed) names += std::string(" -") + parameter->name;
    throw BindingError(spec.name,
                       "Parameter cannot be processed because the parameter name '" + given +
                           "' is ambiguous. Possible matches include:" + names + ".",
                       "AmbiguousParameter", spec.fullName);
  }
  throw BindingError(spec.name, "A parameter cannot be found that matches parameter name '" + given + "'.",
                     "NamedParameterNotFound", spec.fullName);
}

BoundParameters Bind(const CommandSpec& spec, const std::vector<CommandArgumentValue>& arguments) {
  BoundParameters bound;
  std::vector<PsValue> positional;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const CommandArgumentValue& argument = arguments[i];
    if (argument.parameter.empty()) {
      positional.push_back(argument.value);
      continue;
    }
    const ParameterSpec* parameter = FindParameter(spec, argument.parameter);
    if (bound.Has(parameter->name)) {
      throw BindingError(spec.name,
                         std::string("Cannot bind parameter because parameter '") + parameter->name +
                             "' is specified more than once.",
                         "ParameterAlreadyBound", spec.fullName);
    }
    if (parameter->isSwitch) {
      bound.Set(parameter->name, argument.hasValue ? argument.value : PsValue(true));
      continue;
    }
    if (argument.hasValue) {
      bound.Set(parameter->name, argument.value);
      continue;
    }
    if (i + 1 >= arguments.size() || !arguments[i + 1].parameter.empty()) {
      throw BindingError(spec.name,
                         std::string("Missing an argument for parameter '") + parameter->name +
                             "'. Specify a parameter of type 'System.String' and try again.",
                         "MissingArgument", spec.fullName);
    }
    bound.Set(parameter->name, arguments[++i].value);
  }
  size_t next = 0;
  for (int position = 0; next < positional.size() && position < 8; ++position) {
    for (const ParameterSpec& parameter : spec.parameters) {
      if (parameter.position != position || bound.Has(parameter.name) || next >= positional.size()) continue;
      if (parameter.remaining) {
        PsArray rest(positional.begin() + static_cast<long>(next), positional.end());
        bound.Set(parameter.name, rest.size() == 1 ? rest[0] : PsValue::Array(rest));
        next = positional.size();
      } else {
        bound.Set(parameter.name, positional[next++]);
      }
    }
  }
  if (next < positional.size()) {
    throw BindingError(spec.name,
                       "A positional parameter cannot be found that accepts argument '" +
                           ToInvariantString(positional[next]) + "'.",
                       "PositionalParameterNotFound", spec.fullName);
  }
  return bound;
}

// The paths a -Path or -LiteralPath argument names.
std::vector<std::string> PathsOf(const PsValue& value) {
  std::vector<std::string> paths;
  if (value.IsArray()) {
    for (const PsValue& item : value.Items()) paths.push_back(ToInvariantString(item));
  } else {
    paths.push_back(ToInvariantString(value));
  }
  return paths;
}

struct PathArgument {
  std::vector<std::string> paths;
  bool literal = false;
};

PathArgument RequirePaths(const CommandSpec& spec, const BoundParameters& bound, bool mandatory) {
  PathArgument argument;
  const bool hasPath = bound.Has("Path");
  const bool hasLiteral = bound.Has("LiteralPath");
  if (hasPath && hasLiteral) {
    throw BindingError(spec.name, "Parameter set cannot be resolved using the specified named parameters.",
                       "AmbiguousParameterSet", spec.fullName);
  }
  if (!hasPath && !hasLiteral) {
    if (mandatory) {
      throw BindingError(spec.name, "Cannot process command because of one or more missing mandatory parameters: Path.",
                         "MissingMandatoryParameter", spec.fullName);
    }
    argument.paths.push_back(".");
    return argument;
  }
  argument.literal = hasLiteral;
  const PsValue& value = bound.Get(hasLiteral ? "LiteralPath" : "Path");
  if (value.IsNull()) {
    throw BindingError(spec.name,
                       std::string("Cannot bind argument to parameter '") + (hasLiteral ? "LiteralPath" : "Path") +
                           "' because it is null.",
                       "ParameterArgumentValidationErrorNullNotAllowed", spec.fullName);
  }
  argument.paths = PathsOf(value);
  for (const std::string& path : argument.paths) {
    if (path.empty()) {
      throw BindingError(spec.name,
                         std::string("Cannot bind argument to parameter '") + (hasLiteral ? "LiteralPath" : "Path") +
                             "' because it is an empty string.",
                         "ParameterArgumentValidationErrorEmptyStringNotAllowed", spec.fullName);
    }
  }
  return argument;
}

PsError PathNotFound(const CommandSpec& spec, const std::string& path) {
  return PsError{spec.name, "Cannot find path '" + path + "' because it does not exist.",
                 "ObjectNotFound: (" + path + ":String) [" + spec.name + "], ItemNotFoundException",
                 std::string("PathNotFound,") + spec.fullName};
}

PsError ItemError(const CommandSpec& spec, const std::string& path, const std::string& message,
                  const std::string& errorId) {
  return PsError{spec.name, message, "NotSpecified: (" + path + ":String) [" + spec.name + "], Exception",
                 errorId + "," + spec.fullName};
}

// Resolves the paths of a command; missing items are reported one by one.
std::vector<GuestItem> ResolveItems(PsInterpreter& shell, const CommandSpec& spec, const PathArgument& argument) {
  std::vector<GuestItem> items;
  for (const std::string& path : argument.paths) {
    std::string error;
    if (!argument.literal && WildcardPattern::HasWildcards(path)) {
      std::vector<GuestItem> matches;
      if (!shell.Files().Expand(path, matches, error)) {
        shell.WriteError(ItemError(spec, path, error, "ItemNotFound"));
        continue;
      }
      items.insert(items.end(), matches.begin(), matches.end());
      continue;
    }
    WindowsPath parsed;
    if (!shell.Files().Parse(path, parsed, error)) {
      shell.WriteError(ItemError(spec, path, error, "ItemExistsArgumentError"));
      continue;
    }
    if (!shell.Files().DriveExists(parsed.drive)) {
      shell.WriteError(PsError{spec.name,
                               std::string("Cannot find drive. A drive with the name '") + parsed.drive +
                                   "' does not exist.",
                               std::string("ObjectNotFound: (") + parsed.drive + ":String) [" + spec.name +
                                   "], DriveNotFoundException",
                               std::string("DriveNotFound,") + spec.fullName});
      continue;
    }
    if (auto item = shell.Files().Find(parsed)) {
      items.push_back(*item);
    } else {
      shell.WriteError(PathNotFound(spec, path));
    }
  }
  return items;
}

void TestPath(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray& output) {
  const PathArgument argument = RequirePaths(spec, bound, true);
  const std::string pathType = ToInvariantString(bound.Get("PathType"));
  for (const std::string& path : argument.paths) {
    std::vector<GuestItem> matches;
    std::string error;
    if (!argument.literal && WildcardPattern::HasWildcards(path)) {
      shell.Files().Expand(path, matches, error);
    } else {
      WindowsPath parsed;
      if (shell.Files().Parse(path, parsed, error)) {
        if (auto item = shell.Files().Find(parsed)) matches.push_back(*item);
      }
    }
    bool found = false;
    for (const GuestItem& item : matches) {
      if (boost::algorithm::iequals(pathType, "Leaf")) {
        found = found || !item.isDirectory;
      } else if (boost::algorithm::iequals(pathType, "Container")) {
        found = found || item.isDirectory;
      } else {
        found = true;
      }
    }
    output.push_back(PsValue(found));
  }
}

void GetChildItem(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray& output) {
  const PathArgument argument = RequirePaths(spec, bound, false);
  const bool directoriesOnly = bound.Switch("Directory");
  const bool filesOnly = bound.Switch("File");
  auto emit = [&](const GuestItem& item) {
    if ((directoriesOnly && !item.isDirectory) || (filesOnly && item.isDirectory)) return;
    output.push_back(PsValue(item));
  };
  for (const std::string& path : argument.paths) {
    PathArgument one{{path}, argument.literal};
    const bool wildcard = !argument.literal && WildcardPattern::HasWildcards(path);
    for (const GuestItem& item : ResolveItems(shell, spec, one)) {
      if (item.isDirectory && !wildcard) {
        for (const GuestItem& child : shell.Files().Children(item)) emit(child);
      } else {
        emit(item);
      }
    }
  }
}

void GetItem(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray& output) {
  for (const GuestItem& item : ResolveItems(shell, spec, RequirePaths(spec, bound, true))) output.push_back(PsValue(item));
}

void NewItem(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray& output) {
  if (!bound.Has("Path") && !bound.Has("Name")) {
    throw BindingError(spec.name, "Cannot process command because of one or more missing mandatory parameters: Path.",
                       "MissingMandatoryParameter", spec.fullName);
  }
  const std::string itemType = bound.Has("ItemType") ? ToInvariantString(bound.Get("ItemType")) : "File";
  const bool directory = boost::algorithm::iequals(itemType, "Directory");
  if (!directory && !boost::algorithm::iequals(itemType, "File")) {
    throw PsError{spec.name, "The type is not a known type for the file system. Only \"file\" and \"directory\" can be created.",
                  std::string("InvalidArgument: (:) [") + spec.name + "], ArgumentException",
                  std::string("NewItemInvalidType,") + spec.fullName};
  }
  const bool force = bound.Switch("Force");
  std::vector<std::string> paths = bound.Has("Path") ? PathsOf(bound.Get("Path")) : std::vector<std::string>{"."};
  if (bound.Has("Name")) {
    for (std::string& path : paths) path += "\\" + ToInvariantString(bound.Get("Name"));
  }
  for (const std::string& path : paths) {
    WindowsPath parsed;
    std::string error;
    if (!shell.Files().Parse(path, parsed, error)) {
      shell.WriteError(ItemError(spec, path, error, "NewItemIOError"));
      continue;
    }
    if (auto existing = shell.Files().Find(parsed)) {
      // -Force lets New-Item return an existing folder or replace an existing file.
      const bool sameKind = existing->isDirectory == directory;
      if (force && sameKind && directory) {
        output.push_back(PsValue(*existing));
        continue;
      }
      if (!force || !sameKind) {
        shell.WriteError(PsError{spec.name, "An item with the specified name " + parsed.Text() + " already exists.",
                                 "ResourceExists: (" + parsed.Text() + ":String) [" + spec.name + "], IOException",
                                 std::string(directory ? "DirectoryExist," : "FileExist,") + spec.fullName});
        continue;
      }
    }
    bool created = false;
    if (directory) {
      created = shell.Files().CreateDirectory(parsed, error);
    } else {
      if (force) shell.Files().CreateDirectory(parsed.Parent(), error);
      created = shell.Files().WriteFile(parsed, ToInvariantString(bound.Get("Value")), error);
    }
    if (!created) {
      shell.WriteError(ItemError(spec, parsed.Text(), error, "NewItemIOError"));
      continue;
    }
    if (auto item = shell.Files().Find(parsed)) output.push_back(PsValue(*item));
  }
}

void RemoveItem(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray&) {
  for (const GuestItem& item : ResolveItems(shell, spec, RequirePaths(spec, bound, true))) {
    std::string error;
    if (!shell.Files().Remove(item, bound.Switch("Recurse"), error)) {
      shell.WriteError(ItemError(spec, item.path.Text(), error, "RemoveItemIOError"));
    }
  }
}

// The -Destination of Move-Item and Copy-Item, which both require it.
std::string RequireDestination(const CommandSpec& spec, const BoundParameters& bound) {
  if (!bound.Has("Destination")) {
    throw BindingError(spec.name, "Cannot process command because of one or more missing mandatory parameters: Destination.",
                       "MissingMandatoryParameter", spec.fullName);
  }
  return ToInvariantString(bound.Get("Destination"));
}

// Move-Item of one item to a literal destination.
void MoveItem(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray&) {
  const std::string destination = RequireDestination(spec, bound);
  for (const GuestItem& item : ResolveItems(shell, spec, RequirePaths(spec, bound, true))) {
    WindowsPath to;
    std::string error;
    if (!shell.Files().Parse(destination, to, error) || !shell.Files().Move(item, to, bound.Switch("Force"), error)) {
      shell.WriteError(ItemError(spec, item.path.Text(), error, "MoveFileInfoItemIOError"));
    }
  }
}

void CopyItem(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray&) {
  const std::string destination = RequireDestination(spec, bound);
  for (const GuestItem& item : ResolveItems(shell, spec, RequirePaths(spec, bound, true))) {
    WindowsPath to;
    std::string error;
    if (!shell.Files().Parse(destination, to, error) || !shell.Files().Copy(item, to, shell.Config().freeBytes, error)) {
      shell.WriteError(ItemError(spec, item.path.Text(), error, "CopyFileInfoItemIOError"));
    }
  }
}

// Split-Path without -Resolve works on the text alone.
void SplitPath(PsInterpreter&, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray& output) {
  if (bound.Has("Resolve") || bound.Has("Qualifier") || bound.Has("NoQualifier")) {
    throw BindingError(spec.name, "Only -Parent and -Leaf are available on this guest.", "NamedParameterNotFound",
                       spec.fullName);
  }
  const PathArgument argument = RequirePaths(spec, bound, true);
  for (std::string path : argument.paths) {
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/') && !(path.size() == 3 && path[1] == ':')) {
      path.pop_back();
    }
    const size_t separator = path.find_last_of("\\/");
    if (bound.Switch("Leaf")) {
      output.push_back(PsValue(separator == std::string::npos ? path : path.substr(separator + 1)));
      continue;
    }
    if (separator == std::string::npos) {
      output.push_back(PsValue(std::string()));
      continue;
    }
    std::string parent = path.substr(0, separator);
    if (parent.size() == 2 && parent[1] == ':') {
      parent = path.size() == 3 ? std::string() : parent + "\\";
    }
    if (parent.empty() && separator == 0) parent = "\\";
    output.push_back(PsValue(parent));
  }
}

void GetDate(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&, PsArray& output) {
  DotNetDateTime value = LocalFromUtcSeconds(static_cast<int64_t>(std::time(nullptr)));
  if (bound.Has("Date")) {
    const PsValue& date = bound.Get("Date");
    if (auto given = date.As<DotNetDateTime>()) {
      value = *given;
    } else if (!ParseInvariantDateTime(ToInvariantString(date), value)) {
      throw BindingError(spec.name,
                         "Cannot bind parameter 'Date'. Cannot convert value \"" + ToInvariantString(date) +
                             "\" to type \"System.DateTime\". Error: \"String was not recognized as a valid DateTime.\"",
                         "CannotConvertArgumentNoMessage", spec.fullName);
    }
  }
  if (bound.Has("Format")) {
    std::string error;
    output.push_back(PsValue(FormatDateTime(value, ToInvariantString(bound.Get("Format")), shell.Culture(), error)));
    return;
  }
  output.push_back(PsValue(value));
}

// Write-Host prints strings as they are, walks collections with the separator between items and
// prints everything else with its ToString() in the guest's culture.
void AppendHostText(const PsValue& value, const std::string& separator, const CultureInfo& culture, std::string& text,
                    bool& first) {
  if (value.IsArray()) {
    for (const PsValue& item : value.Items()) AppendHostText(item, separator, culture, text, first);
    return;
  }
  if (!first) text += separator;
  first = false;
  text += ToCultureString(value, culture);
}

void WriteHost(PsInterpreter& shell, const CommandSpec&, const BoundParameters& bound, const PsArray&, PsArray&) {
  const std::string separator = bound.Has("Separator") ? ToInvariantString(bound.Get("Separator")) : " ";
  std::string text;
  bool first = true;
  if (bound.Has("Object")) AppendHostText(bound.Get("Object"), separator, shell.Culture(), text, first);
  if (!bound.Switch("NoNewline")) text += "\r\n";
  shell.WriteHost(text);
}

void WriteOutput(PsInterpreter&, const CommandSpec&, const BoundParameters& bound, const PsArray& input,
                 PsArray& output) {
  if (!bound.Has("InputObject")) {
    output.insert(output.end(), input.begin(), input.end());
    return;
  }
  const PsValue& value = bound.Get("InputObject");
  if (value.IsArray()) {
    output.insert(output.end(), value.Items().begin(), value.Items().end());
  } else {
    output.push_back(value);
  }
}

void GetVolume(PsInterpreter& shell, const CommandSpec&, const BoundParameters&, const PsArray&, PsArray& output) {
  if (shell.Config().volumes) {
    for (const VolumeSpec& volume : *shell.Config().volumes) output.push_back(PsValue(PsVolume{volume.driveLetter, volume.driveType}));
    return;
  }
  for (char drive : shell.Files().Drives()) output.push_back(PsValue(PsVolume{std::string(1, drive), "Fixed"}));
}

void SystemInfo(PsInterpreter& shell, const CommandSpec&, const BoundParameters&, const PsArray&, PsArray& output) {
  std::istringstream lines(SystemInfoText(shell.Config().osName));
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    output.push_back(PsValue(line));
  }
}

void OutNull(PsInterpreter&, const CommandSpec&, const BoundParameters&, const PsArray&, PsArray&) {}

// Reads each file as Windows does (through a link at its name) and answers its SHA-256 in upper
// case; only SHA256 is modelled. A folder is an error, as on Windows.
void GetFileHash(PsInterpreter& shell, const CommandSpec& spec, const BoundParameters& bound, const PsArray&,
                 PsArray& output) {
  const std::string algorithm = bound.Has("Algorithm") ? ToInvariantString(bound.Get("Algorithm")) : "SHA256";
  if (!boost::algorithm::iequals(algorithm, "SHA256")) {
    throw BindingError(spec.name, "The stand-in models the SHA256 algorithm only.", "ParameterArgumentValidationError",
                       spec.fullName);
  }
  for (const GuestItem& item : ResolveItems(shell, spec, RequirePaths(spec, bound, true))) {
    std::string digest;
    std::string problem;
    const int fd = item.isDirectory ? -1 : ::open(item.host.c_str(), O_RDONLY | O_CLOEXEC);
    const bool read = fd >= 0 && ReplaceChoices::Sha256OfDescriptor(fd, digest, problem);
    if (fd >= 0) ::close(fd);
    if (!read) {
      shell.WriteError(PsError{spec.name, "Cannot read the file " + item.path.Text() + ".",
                               "ReadError: (" + item.path.Text() + ":String) [" + spec.name + "], IOException",
                               std::string("FileReadError,") + spec.fullName});
      continue;
    }
    boost::algorithm::to_upper(digest);
    output.push_back(PsValue(PsFileHash{"SHA256", digest, item.path.Text()}));
  }
}

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = [] {
    const std::vector<ParameterSpec> pathParameters = {{"Path", false, 0}, {"LiteralPath", false, -1},
                                                       {"Force", true, -1}};
    std::vector<CommandSpec> list;
    list.push_back({"Test-Path", "Microsoft.PowerShell.Commands.TestPathCommand", {},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"PathType", false, -1}, {"IsValid", true, -1}},
                    TestPath});
    list.push_back({"Get-ChildItem", "Microsoft.PowerShell.Commands.GetChildItemCommand", {"gci", "ls", "dir"},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"Force", true, -1}, {"Directory", true, -1},
                     {"File", true, -1}},
                    GetChildItem});
    list.push_back({"Get-Item", "Microsoft.PowerShell.Commands.GetItemCommand", {"gi"}, pathParameters,
                    GetItem});
    list.push_back({"New-Item", "Microsoft.PowerShell.Commands.NewItemCommand", {"ni"},
                    {{"Path", false, 0}, {"ItemType", false, -1}, {"Force", true, -1}, {"Name", false, -1},
                     {"Value", false, -1}},
                    NewItem});
    list.push_back({"Remove-Item", "Microsoft.PowerShell.Commands.RemoveItemCommand",
                    {"ri", "rm", "del", "erase", "rd", "rmdir"},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"Force", true, -1}, {"Recurse", true, -1}},
                    RemoveItem});
    list.push_back({"Move-Item", "Microsoft.PowerShell.Commands.MoveItemCommand", {"mi", "move", "mv"},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"Destination", false, 1}, {"Force", true, -1}},
                    MoveItem});
    list.push_back({"Copy-Item", "Microsoft.PowerShell.Commands.CopyItemCommand", {"copy", "cp", "cpi"},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"Destination", false, 1}, {"Force", true, -1}},
                    CopyItem});
    list.push_back({"Split-Path", "Microsoft.PowerShell.Commands.SplitPathCommand", {},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"Parent", true, -1}, {"Leaf", true, -1},
                     {"Qualifier", true, -1}, {"NoQualifier", true, -1}, {"Resolve", true, -1}},
                    SplitPath});
    list.push_back({"Get-Date", "Microsoft.PowerShell.Commands.GetDateCommand", {},
                    {{"Date", false, 0}, {"Format", false, -1}}, GetDate});
    list.push_back({"Write-Host", "Microsoft.PowerShell.Commands.WriteHostCommand", {},
                    {{"Object", false, 0, true}, {"NoNewline", true, -1}, {"Separator", false, -1},
                     {"ForegroundColor", false, -1}, {"BackgroundColor", false, -1}},
                    WriteHost});
    list.push_back({"Write-Output", "Microsoft.PowerShell.Commands.WriteOutputCommand", {"echo", "write"},
                    {{"InputObject", false, 0, true}},
                    WriteOutput});
    list.push_back({"Out-Null", "Microsoft.PowerShell.Commands.OutNullCommand", {}, {{"InputObject", false, -1}},
                    OutNull});
    list.push_back({"Get-Volume", "Get-Volume", {}, {{"DriveLetter", false, 0}}, GetVolume});
    list.push_back({"Get-FileHash", "Microsoft.PowerShell.Commands.GetFileHashCommand", {},
                    {{"Path", false, 0}, {"LiteralPath", false, -1}, {"Algorithm", false, -1}}, GetFileHash});
    list.push_back({"systeminfo", "systeminfo.exe", {"systeminfo.exe"}, {}, SystemInfo});
    return list;
  }();
  return commands;
}

}  // namespace

bool RunGuestCommand(PsInterpreter& interpreter, const std::string& name,
                     const std::vector<CommandArgumentValue>& arguments, const PsArray& input, PsArray& output) {
  for (const CommandSpec& spec : Commands()) {
    bool matches = boost::algorithm::iequals(spec.name, name);
    for (const char* alias : spec.aliases) matches = matches || boost::algorithm::iequals(alias, name);
    if (!matches) continue;
    const BoundParameters bound = Bind(spec, arguments);
    spec.body(interpreter, spec, bound, input, output);
    return true;
  }
  return false;
}

std::string SystemInfoText(const std::string& osName) {
  return "\r\n"
         "Host Name:                 WINGUEST\r\n"
         "OS Name:                   " +
         osName +
         "\r\n"
         "OS Version:                10.0.17763 N/A Build 17763\r\n"
         "OS Manufacturer:           Microsoft Corporation\r\n"
         "System Type:               x64-based PC\r\n"
         "Total Physical Memory:     4,095 MB\r\n";
}

}  // namespace winguest
