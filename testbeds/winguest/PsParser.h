// Reads the part of the PowerShell language that one-liners sent to a guest use: statements
// separated by ";" or line breaks; if/elseif/else; foreach ($v in ...); assignments to
// variables and to properties; pipelines of commands (named and positional arguments, argument
// mode with bare words and comma lists) and expressions (-and -or -not ! -eq -ne -gt -ge -lt -le
// -band -bor + -, unary minus, member access, method calls, [Type]::Member, ( ), $( ), @( )); strings in
// single quotes (any of ' ‘ ’ ‚ ‛ opens and closes, two in a row stand for one) and in double
// quotes (with `-escapes and $variable / $( ) expansion). A script is read completely before any
// of it runs; a script that does not read fails as PowerShell fails, and nothing runs.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PsValue.h"

namespace winguest::ps {

struct Expr;
struct Stmt;
using ExprPtr = std::unique_ptr<Expr>;
using StmtPtr = std::unique_ptr<Stmt>;
using Block = std::vector<StmtPtr>;

enum class ExprKind {
  Constant,            // constant
  Expandable,          // parts
  Variable,            // name
  Member,              // operands[0].name
  StaticMember,        // [type name].name
  Invoke,              // operands[0].name(operands[1..])
  StaticInvoke,        // [type name]::name(operands)
  TypeLiteral,         // [name]
  Unary,               // name is the operator ("!", "-")
  Binary,              // name is the operator ("-eq", "+", ...)
  ArrayLiteral,        // operands
  Paren,               // statement
  SubExpression,       // statements
  ArraySubExpression,  // statements
};

struct ExpandPart {
  bool isCode = false;      // $( ... )
  bool isVariable = false;  // $name
  std::string text;         // literal text, or the variable's name
  Block code;        // $( ... )
};

struct Expr {
  ExprKind kind = ExprKind::Constant;
  size_t position = 0;
  PsValue constant;
  std::string name;
  std::string typeName;
  std::vector<ExprPtr> operands;
  StmtPtr statement;
  Block statements;
  std::vector<ExpandPart> parts;
};

struct CommandArgument {
  std::string parameter;  // empty for a positional argument
  ExprPtr value;          // null for a parameter without a value
  bool colonValue = false;
};

struct Command {
  std::string name;
  size_t position = 0;
  std::vector<CommandArgument> arguments;
};

struct PipelineElement {
  ExprPtr expression;
  std::unique_ptr<Command> command;
};

enum class StmtKind { Pipeline, Assignment, If, Foreach };

struct IfClause {
  StmtPtr condition;
  Block body;
};

struct Stmt {
  StmtKind kind = StmtKind::Pipeline;
  size_t position = 0;
  std::vector<PipelineElement> pipeline;
  ExprPtr target;  // assignment
  StmtPtr value;   // assignment
  std::vector<IfClause> clauses;
  bool hasElse = false;
  Block elseBody;
  std::string variable;  // foreach
  StmtPtr collection;    // foreach
  Block body;            // foreach
};

struct ParseError {
  size_t position = 0;  // in characters from the start, 1-based
  std::string message;
  std::string errorId;
};

bool ParseScript(const std::string& script, Block& block, ParseError& error);

}  // namespace winguest::ps
