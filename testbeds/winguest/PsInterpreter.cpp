#include "PsInterpreter.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

#include "PsCommands.h"

namespace winguest {

namespace {

std::string Lower(const std::string& text) { return boost::algorithm::to_lower_copy(text); }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

PsError RuntimeError(const std::string& message, const std::string& errorId) {
  return PsError{"", message, "InvalidOperation: (:) [], RuntimeException", errorId};
}

PsError MethodError(const std::string& method, size_t argumentCount, const std::string& message,
                    const std::string& errorId) {
  return PsError{"",
                 "Exception calling " + Quoted(method) + " with " + Quoted(std::to_string(argumentCount)) +
                     " argument(s): " + Quoted(message),
                 "NotSpecified: (:) [], MethodInvocationException", errorId};
}

void Enumerate(const PsValue& value, PsArray& stream) {
  if (value.IsNull()) return;
  if (value.IsArray()) {
    for (const PsValue& item : value.Items()) stream.push_back(item);
    return;
  }
  stream.push_back(value);
}

bool ToDateTime(const PsValue& value, DotNetDateTime& out) {
  if (auto t = value.As<DotNetDateTime>()) {
    out = *t;
    return true;
  }
  if (auto s = value.As<std::string>()) return ParseInvariantDateTime(*s, out);
  return false;
}

// -eq and its relatives for one pair of values; the left operand decides the comparison.
int CompareValues(const PsValue& left, const PsValue& right, bool caseSensitive, bool& comparable) {
  comparable = true;
  if (left.IsNull() || right.IsNull()) {
    comparable = left.IsNull() && right.IsNull();
    return comparable ? 0 : (left.IsNull() ? -1 : 1);
  }
  if (auto b = left.As<bool>()) return static_cast<int>(*b) - static_cast<int>(IsTrue(right));
  if (left.IsNumber()) {
    bool ok = false;
    const double r = ToDouble(right, ok);
    bool lok = false;
    const double l = ToDouble(left, lok);
    if (!ok) {
      comparable = false;
      return 1;
    }
    return l < r ? -1 : (l > r ? 1 : 0);
  }
  if (auto t = left.As<DotNetDateTime>()) {
    DotNetDateTime r;
    if (!ToDateTime(right, r)) {
      comparable = false;
      return 1;
    }
    return t->wall < r.wall ? -1 : (t->wall > r.wall ? 1 : 0);
  }
  const std::string l = ToInvariantString(left);
  const std::string r = ToInvariantString(right);
  if (caseSensitive) return l.compare(r);
  if (boost::algorithm::iequals(l, r)) return 0;
  return boost::algorithm::ilexicographical_compare(l, r) ? -1 : 1;
}

bool ApplyComparison(const std::string& op, const PsValue& left, const PsValue& right) {
  const bool caseSensitive = boost::algorithm::starts_with(op, "-c");
  const std::string base = "-" + op.substr(op.size() - 2);
  bool comparable = false;
  const int order = CompareValues(left, right, caseSensitive, comparable);
  if (base == "-eq") return comparable && order == 0;
  if (base == "-ne") return !(comparable && order == 0);
  if (!comparable) return false;
  if (base == "-gt") return order > 0;
  if (base == "-ge") return order >= 0;
  if (base == "-lt") return order < 0;
  return order <= 0;
}

PsValue AddNumbers(const PsValue& left, const PsValue& right, bool subtract) {
  const int64_t* li = left.As<int64_t>();
  const int64_t* ri = right.As<int64_t>();
  if (li && ri) {
    int64_t result = 0;
    const bool overflow = subtract ? __builtin_sub_overflow(*li, *ri, &result) : __builtin_add_overflow(*li, *ri, &result);
    if (!overflow) return PsValue(result);
  }
  bool ok = false;
  const double l = ToDouble(left, ok);
  const double r = ToDouble(right, ok);
  return PsValue(subtract ? l - r : l + r);
}

std::string ItemMode(const GuestItem& item) { return item.isDirectory ? "d-----" : "-a----"; }

}  // namespace

PsValue Collapse(const PsArray& output) {
  if (output.empty()) return PsValue();
  if (output.size() == 1) return output[0];
  return PsValue::Array(output);
}

PsInterpreter::PsInterpreter(GuestFileSystem& files, const StandInConfig& config,
                             std::map<std::string, std::string> environment)
    : m_files(files), m_config(config), m_culture(FindCulture(config.culture)) {
  if (!m_culture) m_culture = &InvariantCulture();
  for (const auto& [name, value] : environment) m_environment[Lower(name)] = value;
}

int PsInterpreter::Run(const std::string& script, std::string& out, std::string& err) {
  m_out = &out;
  m_err = &err;
  ps::Block block;
  ps::ParseError parseError;
  if (!ps::ParseScript(script, block, parseError)) {
    err += "At line:1 char:" + std::to_string(parseError.position) + "\r\n";
    err += parseError.message + "\r\n";
    err += "    + CategoryInfo          : ParserError: (:) [], ParentContainsErrorRecordException\r\n";
    err += "    + FullyQualifiedErrorId : " + parseError.errorId + "\r\n\r\n";
    return 1;
  }
  for (const ps::StmtPtr& stmt : block) {
    PsArray output;
    try {
      ExecStatement(*stmt, output);
    } catch (const PsError& error) {
      WriteError(error);
      m_succeeded = false;
    }
    OutDefault(output);
  }
  return m_succeeded ? 0 : 1;
}

void PsInterpreter::WriteError(const PsError& error) {
  if (!error.command.empty()) *m_err += error.command + " : ";
  *m_err += error.message + "\r\n";
  *m_err += "    + CategoryInfo          : " + error.category + "\r\n";
  *m_err += "    + FullyQualifiedErrorId : " + error.errorId + "\r\n\r\n";
  ++m_errorCount;
}

void PsInterpreter::ExecBlock(const ps::Block& block, PsArray& output) {
  for (const ps::StmtPtr& stmt : block) {
    try {
      ExecStatement(*stmt, output);
    } catch (const PsError& error) {
      WriteError(error);
      m_succeeded = false;
    }
  }
}

void PsInterpreter::ExecStatement(const ps::Stmt& stmt, PsArray& output) {
  switch (stmt.kind) {
    case ps::StmtKind::Pipeline:
      ExecPipeline(stmt.pipeline, output);
      return;
    case ps::StmtKind::Assignment: {
      PsArray values;
      ExecStatement(*stmt.value, values);
      Assign(*stmt.target, Collapse(values));
      return;
    }
    case ps::StmtKind::If:
      for (const ps::IfClause& clause : stmt.clauses) {
        PsArray condition;
        ExecStatement(*clause.condition, condition);
        if (IsTrue(Collapse(condition))) {
          ExecBlock(clause.body, output);
          return;
        }
      }
      if (stmt.hasElse) ExecBlock(stmt.elseBody, output);
      return;
    case ps::StmtKind::Foreach: {
      PsArray items;
      ExecStatement(*stmt.collection, items);
      for (const PsValue& item : items) {
        SetVariable(stmt.variable, item);
        ExecBlock(stmt.body, output);
      }
      return;
    }
  }
}

void PsInterpreter::ExecPipeline(const std::vector<ps::PipelineElement>& pipeline, PsArray& output) {
  const size_t errorsBefore = m_errorCount;
  PsArray stream;
  for (const ps::PipelineElement& element : pipeline) {
    if (element.expression) {
      Enumerate(Eval(*element.expression), stream);
      continue;
    }
    PsArray next;
    RunCommand(*element.command, stream, next);
    stream = std::move(next);
  }
  output.insert(output.end(), stream.begin(), stream.end());
  m_succeeded = m_errorCount == errorsBefore;
}

void PsInterpreter::RunCommand(const ps::Command& command, const PsArray& input, PsArray& output) {
  std::vector<CommandArgumentValue> arguments;
  for (const ps::CommandArgument& argument : command.arguments) {
    CommandArgumentValue value;
    value.parameter = argument.parameter;
    if (argument.value) {
      value.hasValue = true;
      value.value = Eval(*argument.value);
    }
    arguments.push_back(std::move(value));
  }
  if (!RunGuestCommand(*this, command.name, arguments, input, output)) {
    throw PsError{command.name,
                  "The term '" + command.name +
                      "' is not recognized as the name of a cmdlet, function, script file, or operable program. "
                      "Check the spelling of the name, or if a path was included, verify that the path is correct "
                      "and try again.",
                  "ObjectNotFound: (" + command.name + ":String) [], CommandNotFoundException",
                  "CommandNotFoundException"};
  }
}

PsValue PsInterpreter::Eval(const ps::Expr& expr) {
  switch (expr.kind) {
    case ps::ExprKind::Constant:
      return expr.constant;
    case ps::ExprKind::Expandable: {
      std::string text;
      for (const ps::ExpandPart& part : expr.parts) {
        if (part.isCode) {
          PsArray output;
          ExecBlock(part.code, output);
          text += ToInvariantString(Collapse(output));
        } else if (part.isVariable) {
          text += ToInvariantString(GetVariable(part.text));
        } else {
          text += part.text;
        }
      }
      return PsValue(text);
    }
    case ps::ExprKind::Variable:
      return GetVariable(expr.name);
    case ps::ExprKind::Member:
      return GetMember(Eval(*expr.operands[0]), expr.name);
    case ps::ExprKind::StaticMember:
      return GetStaticMember(expr.typeName, expr.name);
    case ps::ExprKind::Invoke: {
      const PsValue target = Eval(*expr.operands[0]);
      std::vector<PsValue> arguments;
      for (size_t i = 1; i < expr.operands.size(); ++i) arguments.push_back(Eval(*expr.operands[i]));
      return CallMethod(target, expr.name, arguments);
    }
    case ps::ExprKind::StaticInvoke:
      GetStaticMember(expr.typeName, "");  // an unknown type is reported first
      throw RuntimeError("Method invocation failed because [" + expr.typeName + "] does not contain a method named '" +
                             expr.name + "'.",
                         "MethodNotFound");
    case ps::ExprKind::TypeLiteral:
      GetStaticMember(expr.typeName, "");
      return PsValue(PsType{expr.typeName, expr.typeName});
    case ps::ExprKind::Unary: {
      const PsValue operand = Eval(*expr.operands[0]);
      if (expr.name == "!") return PsValue(!IsTrue(operand));
      if (expr.name == "+") return operand;
      return AddNumbers(PsValue(int64_t{0}), operand, true);
    }
    case ps::ExprKind::Binary:
      return EvalBinary(expr);
    case ps::ExprKind::ArrayLiteral: {
      PsArray items;
      for (const ps::ExprPtr& operand : expr.operands) items.push_back(Eval(*operand));
      return PsValue::Array(items);
    }
    case ps::ExprKind::Paren: {
      PsArray output;
      ExecStatement(*expr.statement, output);
      return Collapse(output);
    }
    case ps::ExprKind::SubExpression: {
      PsArray output;
      ExecBlock(expr.statements, output);
      return Collapse(output);
    }
    case ps::ExprKind::ArraySubExpression: {
      PsArray output;
      ExecBlock(expr.statements, output);
      return PsValue::Array(output);
    }
  }
  return PsValue();
}

PsValue PsInterpreter::EvalBinary(const ps::Expr& expr) {
  const std::string& op = expr.name;
  const PsValue left = Eval(*expr.operands[0]);
  if (op == "-and") return PsValue(IsTrue(left) && IsTrue(Eval(*expr.operands[1])));
  if (op == "-or") return PsValue(IsTrue(left) || IsTrue(Eval(*expr.operands[1])));
  const PsValue right = Eval(*expr.operands[1]);
  if (op == "-xor") return PsValue(IsTrue(left) != IsTrue(right));
  if (op == "+" || op == "-") {
    const bool subtract = op == "-";
    if (left.IsNull()) return subtract ? AddNumbers(PsValue(int64_t{0}), right, true) : right;
    if (!subtract && left.IsString()) return PsValue(*left.As<std::string>() + ToInvariantString(right));
    if (!subtract && left.IsArray()) {
      PsArray items = left.Items();
      Enumerate(right, items);
      return PsValue::Array(items);
    }
    bool ok = false;
    ToDouble(right, ok);
    if (!left.IsNumber() || !ok) {
      throw RuntimeError("Method invocation failed because [" + TypeOf(left).fullName +
                             "] does not contain a method named '" + (subtract ? "op_Subtraction" : "op_Addition") +
                             "'.",
                         "MethodNotFound");
    }
    return AddNumbers(left, right, subtract);
  }
  if (op == "-band" || op == "-bor") {
    bool leftOk = false;
    bool rightOk = false;
    const double l = ToDouble(left, leftOk);
    const double r = ToDouble(right, rightOk);
    if (!leftOk || !rightOk) {
      throw RuntimeError("Cannot convert value to type \"System.Int64\".", "InvalidCastFromStringToInteger");
    }
    const int64_t a = static_cast<int64_t>(l);
    const int64_t b = static_cast<int64_t>(r);
    return PsValue(op == "-band" ? (a & b) : (a | b));
  }
  if (left.IsArray()) {  // comparison operators filter an array
    PsArray matches;
    for (const PsValue& item : left.Items()) {
      if (ApplyComparison(op, item, right)) matches.push_back(item);
    }
    return PsValue::Array(matches);
  }
  return PsValue(ApplyComparison(op, left, right));
}

void PsInterpreter::Assign(const ps::Expr& target, const PsValue& value) {
  if (target.kind == ps::ExprKind::Variable) {
    SetVariable(target.name, value);
    return;
  }
  if (target.kind == ps::ExprKind::Member) {
    SetMember(Eval(*target.operands[0]), target.name, value);
    return;
  }
  throw RuntimeError("'" + target.name + "' is a ReadOnly property.", "PropertyAssignmentException");
}

PsValue PsInterpreter::GetVariable(const std::string& name) const {
  const std::string key = Lower(name);
  if (key == "true") return PsValue(true);
  if (key == "false") return PsValue(false);
  if (key == "null") return PsValue();
  if (key == "?") return PsValue(m_succeeded);
  if (boost::algorithm::starts_with(key, "env:")) {
    const auto found = m_environment.find(key.substr(4));
    return found == m_environment.end() ? PsValue() : PsValue(found->second);
  }
  const auto found = m_variables.find(key);
  return found == m_variables.end() ? PsValue() : found->second;
}

void PsInterpreter::SetVariable(const std::string& name, const PsValue& value) {
  const std::string key = Lower(name);
  if (key == "true" || key == "false" || key == "null" || key == "?") {
    throw PsError{"", "Cannot overwrite variable " + name + " because it is read-only or constant.",
                  "WriteError: (" + name + ":String) [], SessionStateUnauthorizedAccessException",
                  "VariableNotWritable"};
  }
  m_variables[key] = value;
}

PsValue PsInterpreter::GetMember(const PsValue& target, const std::string& name) const {
  const std::string key = Lower(name);
  if (target.IsNull()) return PsValue();
  if (target.IsArray()) {
    if (key == "count" || key == "length") return PsValue(static_cast<int64_t>(target.Items().size()));
    PsArray values;
    for (const PsValue& item : target.Items()) Enumerate(GetMember(item, name), values);
    return Collapse(values);
  }
  if (auto item = target.As<GuestItem>()) {
    if (key == "name") return PsValue(item->path.Name());
    if (key == "fullname") return PsValue(item->path.Text());
    if (key == "length") return item->isDirectory ? PsValue() : PsValue(m_files.Length(*item));
    if (key == "psiscontainer") return PsValue(item->isDirectory);
    if (key == "exists") return PsValue(m_files.Find(item->path).has_value());
    if (key == "mode") return PsValue(ItemMode(*item));
    if (key == "attributes") return PsValue(m_files.Attributes(*item));
    if (key == "linktype") {
      const std::string type = m_files.LinkType(*item);
      return type.empty() ? PsValue() : PsValue(type);
    }
    if (key == "lastwritetime") return PsValue(LocalFromUtcSeconds(m_files.LastWriteTime(*item)));
    if (key == "lastaccesstime") return PsValue(LocalFromUtcSeconds(m_files.LastAccessTime(*item)));
    if (key == "creationtime") return PsValue(LocalFromUtcSeconds(m_files.CreationTime(*item)));
    if (key == "lastwritetimeutc") return PsValue(DotNetDateTime{m_files.LastWriteTime(*item), DateKind::Utc});
    if (key == "lastaccesstimeutc") return PsValue(DotNetDateTime{m_files.LastAccessTime(*item), DateKind::Utc});
    if (key == "creationtimeutc") return PsValue(DotNetDateTime{m_files.CreationTime(*item), DateKind::Utc});
    return PsValue();
  }
  if (auto fileHash = target.As<PsFileHash>()) {
    if (key == "hash") return PsValue(fileHash->hash);
    if (key == "algorithm") return PsValue(fileHash->algorithm);
    if (key == "path") return PsValue(fileHash->path);
    return PsValue();
  }
  if (auto volume = target.As<PsVolume>()) {
    if (key == "driveletter") return volume->driveLetter.empty() ? PsValue() : PsValue(volume->driveLetter);
    if (key == "drivetype") return PsValue(volume->driveType);
    return PsValue();
  }
  if (auto time = target.As<DotNetDateTime>()) {
    std::string error;
    auto part = [&](const char* format) { return PsValue(static_cast<int64_t>(std::stoll(FormatDateTime(*time, format, InvariantCulture(), error)))); };
    if (key == "year") return part("yyyy");
    if (key == "month") return part("%M");
    if (key == "day") return part("%d");
    if (key == "hour") return part("%H");
    if (key == "minute") return part("%m");
    if (key == "second") return part("%s");
    if (key == "kind") {
      return PsValue(time->kind == DateKind::Utc ? "Utc" : (time->kind == DateKind::Local ? "Local" : "Unspecified"));
    }
    return PsValue();
  }
  if (auto text = target.As<std::string>()) {
    return key == "length" ? PsValue(static_cast<int64_t>(text->size())) : PsValue();
  }
  if (auto type = target.As<PsType>()) {
    if (key == "name") return PsValue(type->name);
    if (key == "fullname") return PsValue(type->fullName);
    return PsValue();
  }
  if (auto culture = target.As<PsCulture>()) return key == "name" ? PsValue(culture->info->name) : PsValue();
  return PsValue();
}

void PsInterpreter::SetMember(const PsValue& target, const std::string& name, const PsValue& value) {
  const std::string key = Lower(name);
  const GuestItem* item = target.As<GuestItem>();
  const bool isTime = key == "lastwritetime" || key == "lastaccesstime" || key == "creationtime" ||
                      key == "lastwritetimeutc" || key == "lastaccesstimeutc" || key == "creationtimeutc";
  if (!item || !isTime) {
    if (item && (key == "name" || key == "fullname" || key == "length")) {
      throw RuntimeError("'" + name + "' is a ReadOnly property.", "PropertyAssignmentException");
    }
    throw RuntimeError("The property '" + name +
                           "' cannot be found on this object. Verify that the property exists and can be set.",
                       "PropertyNotFound");
  }
  DotNetDateTime time;
  if (!ToDateTime(value, time)) {
    throw PsError{"", "Exception setting " + Quoted(name) + ": " + Quoted("Cannot convert value " + Quoted(ToInvariantString(value)) + " to type \"System.DateTime\"."),
                  "NotSpecified: (:) [], SetValueInvocationException", "ExceptionWhenSetting"};
  }
  const bool utcProperty = boost::algorithm::ends_with(key, "utc");
  const int64_t utc = (utcProperty && time.kind != DateKind::Local) ? time.wall : ToUtcSeconds(time);
  std::string error;
  bool done = false;
  if (boost::algorithm::starts_with(key, "lastwritetime")) {
    done = m_files.SetLastWriteTime(*item, utc, error);
  } else if (boost::algorithm::starts_with(key, "lastaccesstime")) {
    done = m_files.SetLastAccessTime(*item, utc, error);
  } else {
    done = m_files.SetCreationTime(*item, utc, error);
  }
  if (!done) {
    throw PsError{"", "Exception setting " + Quoted(name) + ": " + Quoted(error),
                  "NotSpecified: (:) [], SetValueInvocationException", "ExceptionWhenSetting"};
  }
}

PsValue PsInterpreter::CallMethod(const PsValue& target, const std::string& name, const std::vector<PsValue>& arguments) {
  const std::string key = Lower(name);
  if (target.IsNull()) throw RuntimeError("You cannot call a method on a null-valued expression.", "InvokeMethodOnNull");
  auto requireCount = [&](size_t low, size_t high) {
    if (arguments.size() < low || arguments.size() > high) {
      throw PsError{"", "Cannot find an overload for " + Quoted(name) + " and the argument count: " +
                            Quoted(std::to_string(arguments.size())) + ".",
                    "NotSpecified: (:) [], MethodException", "MethodCountCouldNotFindBest"};
    }
  };
  if (key == "gettype") {
    requireCount(0, 0);
    return PsValue(TypeOf(target));
  }
  const DotNetDateTime* time = target.As<DotNetDateTime>();
  if (key == "tostring") {
    requireCount(0, time ? 2 : 0);
    if (arguments.empty()) return PsValue(ToCultureString(target, *m_culture));
    const CultureInfo* culture = m_culture;
    if (arguments.size() == 2 && !arguments[1].IsNull()) {
      const PsCulture* given = arguments[1].As<PsCulture>();
      if (!given) {
        throw MethodError(name, 2, "Cannot convert argument \"provider\" to type \"System.IFormatProvider\".",
                          "MethodArgumentConversionInvalidCastArgument");
      }
      culture = given->info;
    }
    std::string error;
    const std::string text = FormatDateTime(*time, ToInvariantString(arguments[0]), *culture, error);
    if (!error.empty()) throw MethodError(name, arguments.size(), error, "FormatException");
    return PsValue(text);
  }
  if (time) {
    static const std::pair<const char*, int64_t> kAdders[] = {
        {"addseconds", 1}, {"addminutes", 60}, {"addhours", 3600}, {"adddays", 86400}};
    for (const auto& [adder, unit] : kAdders) {
      if (key != adder) continue;
      requireCount(1, 1);
      bool ok = false;
      const double amount = ToDouble(arguments[0], ok);
      if (!ok) {
        throw MethodError(name, 1, "Cannot convert argument \"value\" to type \"System.Double\".",
                          "MethodArgumentConversionInvalidCastArgument");
      }
      const double seconds = std::round(amount * static_cast<double>(unit));
      const double wall = static_cast<double>(time->wall) + seconds;
      if (!(std::fabs(seconds) < 1e15) || !InDateTimeRange(static_cast<int64_t>(wall))) {
        throw MethodError(name, 1,
                          "The added or subtracted value results in an un-representable DateTime.\r\n"
                          "Parameter name: value",
                          "ArgumentOutOfRangeException");
      }
      return PsValue(DotNetDateTime{static_cast<int64_t>(wall), time->kind});
    }
    if (key == "tolocaltime" || key == "touniversaltime") {
      requireCount(0, 0);
      const DotNetDateTime converted = key == "tolocaltime" ? ToLocalTime(*time) : ToUniversalTime(*time);
      if (!InDateTimeRange(converted.wall)) {
        throw MethodError(name, 0, "Specified argument was out of the range of valid values.", "ArgumentOutOfRangeException");
      }
      return PsValue(converted);
    }
  }
  throw RuntimeError("Method invocation failed because [" + TypeOf(target).fullName +
                         "] does not contain a method named '" + name + "'.",
                     "MethodNotFound");
}

PsValue PsInterpreter::GetStaticMember(const std::string& typeName, const std::string& name) const {
  std::string type = Lower(typeName);
  if (boost::algorithm::starts_with(type, "system.")) type = type.substr(7);
  const std::string key = Lower(name);
  if (type == "globalization.cultureinfo" || type == "cultureinfo") {
    if (key == "invariantculture") return PsValue(PsCulture{&InvariantCulture()});
    if (key == "currentculture") return PsValue(PsCulture{m_culture});
    return PsValue();
  }
  if (type == "io.fileattributes" || type == "fileattributes") {
    static const std::pair<const char*, int64_t> kFlags[] = {
        {"readonly", kAttributeReadOnly}, {"hidden", kAttributeHidden},   {"system", kAttributeSystem},
        {"directory", kAttributeDirectory}, {"archive", kAttributeArchive}, {"normal", kAttributeNormal},
        {"reparsepoint", kAttributeReparsePoint}};
    for (const auto& [flag, value] : kFlags) {
      if (key == flag) return PsValue(value);
    }
    return PsValue();
  }
  if (type == "datetime") {
    if (key == "now") return PsValue(LocalFromUtcSeconds(static_cast<int64_t>(std::time(nullptr))));
    if (key == "utcnow") return PsValue(DotNetDateTime{static_cast<int64_t>(std::time(nullptr)), DateKind::Utc});
    return PsValue();
  }
  throw PsError{"", "Unable to find type [" + typeName + "].",
                "InvalidOperation: (" + typeName + ":TypeName) [], RuntimeException", "TypeNotFound"};
}

void PsInterpreter::OutDefault(const PsArray& output) {
  std::string currentFolder;
  for (const PsValue& value : output) {
    if (auto item = value.As<GuestItem>()) {
      const std::string folder = item->path.Parent().Text();
      if (folder != currentFolder) {
        currentFolder = folder;
        *m_out += "\r\n\r\n    Directory: " + folder + "\r\n\r\n\r\n";
        *m_out += "Mode                 LastWriteTime         Length Name\r\n";
        *m_out += "----                 -------------         ------ ----\r\n";
      }
      std::string error;
      const std::string time =
          FormatDateTime(LocalFromUtcSeconds(m_files.LastWriteTime(*item)), "G", *m_culture, error);
      const std::string length = item->isDirectory ? "" : std::to_string(m_files.Length(*item));
      char line[512];
      std::snprintf(line, sizeof line, "%-6s %22s %14s ", ItemMode(*item).c_str(), time.c_str(), length.c_str());
      *m_out += line + item->path.Name() + "\r\n";
      continue;
    }
    currentFolder.clear();
    if (auto volume = value.As<PsVolume>()) {
      *m_out += (volume->driveLetter.empty() ? std::string(" ") : volume->driveLetter) + "  " + volume->driveType + "\r\n";
      continue;
    }
    *m_out += ToCultureString(value, *m_culture) + "\r\n";
  }
}

}  // namespace winguest
