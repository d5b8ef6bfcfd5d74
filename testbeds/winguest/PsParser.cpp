#include "PsParser.h"

#include "PsScanner.h"

namespace winguest::ps {

namespace {

class Parser : private PsScanner {
 public:
  explicit Parser(const std::string& script) : PsScanner(script) {}

  Block ParseAll() {
    Block block = ParseStatementList(0);
    return block;
  }

 private:
  // ---- statements ----
  Block ParseStatementList(char32_t terminator) {
    Block block;
    while (true) {
      while (true) {
        SkipBlanksAndNewlines();
        if (Peek() != U';') break;
        ++m_pos;
      }
      if (AtEnd() || (terminator && Peek() == terminator)) break;
      if (Peek() == U')' || Peek() == U'}') {
        Fail(std::string("Unexpected token '") + (Peek() == U')' ? ")" : "}") + "' in expression or statement.",
             "UnexpectedToken");
      }
      block.push_back(ParseStatement());
      SkipBlanks();
      if (AtEnd() || IsNewline(Peek()) || Peek() == U';' || (terminator && Peek() == terminator)) continue;
      Fail("Unexpected token '" + RestOfToken() + "' in expression or statement.", "UnexpectedToken");
    }
    return block;
  }

  Block ParseBlock(const std::string& missingMessage, const std::string& errorId) {
    SkipBlanksAndNewlines();
    Expect(U'{', missingMessage, errorId);
    const size_t open = m_pos - 1;
    Block block = ParseStatementList(U'}');
    if (Peek() != U'}') Fail("Missing closing '}' in statement block or type definition.", "MissingEndCurlyBrace", open);
    ++m_pos;
    return block;
  }

  StmtPtr ParseStatement() {
    const std::string keyword = PeekKeyword();
    if (keyword == "if") return ParseIf();
    if (keyword == "foreach") return ParseForeach();
    if (keyword == "else" || keyword == "elseif") {
      Fail("Unexpected token '" + keyword + "' in expression or statement.", "UnexpectedToken");
    }
    auto stmt = std::make_unique<Stmt>();
    stmt->position = m_pos;
    stmt->kind = StmtKind::Pipeline;
    stmt->pipeline = ParsePipeline();
    SkipBlanks();
    if (Peek() == U'=' && Peek(1) != U'=') {
      if (stmt->pipeline.size() != 1 || !stmt->pipeline[0].expression ||
          !IsAssignable(*stmt->pipeline[0].expression)) {
        Fail("The assignment expression is not valid. The input to an assignment operator must be an object that is "
             "able to accept assignments, such as a variable or a property.",
             "InvalidLeftHandSide");
      }
      ++m_pos;
      SkipBlanksAndNewlines();
      if (AtEnd() || Peek() == U';' || Peek() == U'}' || Peek() == U')') {
        Fail("You must provide a value expression following the '=' operator.", "ExpectedValueExpression");
      }
      auto assignment = std::make_unique<Stmt>();
      assignment->kind = StmtKind::Assignment;
      assignment->position = stmt->position;
      assignment->target = std::move(stmt->pipeline[0].expression);
      assignment->value = ParseStatement();
      return assignment;
    }
    return stmt;
  }

  static bool IsAssignable(const Expr& expr) {
    return expr.kind == ExprKind::Variable || expr.kind == ExprKind::Member || expr.kind == ExprKind::StaticMember;
  }

  StmtPtr ParseIf() {
    auto stmt = std::make_unique<Stmt>();
    stmt->kind = StmtKind::If;
    stmt->position = m_pos;
    m_pos += 2;
    while (true) {
      SkipBlanksAndNewlines();
      Expect(U'(', "Missing '(' after 'if' in if statement.", "MissingOpenParenthesisInIfStatement");
      SkipBlanksAndNewlines();
      if (Peek() == U')') Fail("Missing condition in if statement after 'if ('.", "IfStatementMissingCondition");
      IfClause clause;
      clause.condition = ParseStatement();
      SkipBlanksAndNewlines();
      Expect(U')', "Missing closing ')' after expression in 'if' statement.", "MissingEndParenthesisAfterStatement");
      clause.body = ParseBlock("Missing statement block after if ( condition ).", "MissingStatementBlock");
      stmt->clauses.push_back(std::move(clause));
      const size_t afterBlock = m_pos;
      SkipBlanksAndNewlines();
      const std::string keyword = PeekKeyword();
      if (keyword == "elseif") {
        m_pos += 6;
        continue;
      }
      if (keyword == "else") {
        m_pos += 4;
        stmt->hasElse = true;
        stmt->elseBody = ParseBlock("Missing statement block after 'else' keyword.", "MissingStatementBlockAfterElse");
        return stmt;
      }
      m_pos = afterBlock;
      return stmt;
    }
  }

  StmtPtr ParseForeach() {
    auto stmt = std::make_unique<Stmt>();
    stmt->kind = StmtKind::Foreach;
    stmt->position = m_pos;
    m_pos += 7;
    SkipBlanksAndNewlines();
    Expect(U'(', "Missing opening '(' after keyword 'foreach'.", "MissingOpenParenthesisAfterKeyword");
    SkipBlanksAndNewlines();
    if (Peek() != U'$') Fail("Missing variable name after foreach.", "MissingVariableNameAfterForeach");
    ++m_pos;
    stmt->variable = ReadVariableName();
    SkipBlanksAndNewlines();
    if (PeekKeyword() != "in") Fail("Missing 'in' after variable in foreach loop.", "MissingInInForeach");
    m_pos += 2;
    SkipBlanksAndNewlines();
    if (Peek() == U')') Fail("Missing foreach loop range expression.", "MissingForeachExpression");
    stmt->collection = ParseStatement();
    SkipBlanksAndNewlines();
    Expect(U')', "Missing closing ')' after expression in 'foreach' statement.", "MissingEndParenthesisAfterForeach");
    stmt->body = ParseBlock("Missing statement body in foreach loop.", "MissingForeachStatement");
    return stmt;
  }

  std::vector<PipelineElement> ParsePipeline() {
    std::vector<PipelineElement> elements;
    elements.push_back(ParsePipelineElement(true));
    while (true) {
      SkipBlanks();
      if (Peek() != U'|' || Peek(1) == U'|') break;
      ++m_pos;
      SkipBlanksAndNewlines();
      if (AtEnd()) Fail("An empty pipe element is not allowed.", "EmptyPipeElement");
      elements.push_back(ParsePipelineElement(false));
    }
    return elements;
  }

  bool StartsCommand() const {
    const char32_t c = Peek();
    if (c == U'$' || IsSingleQuote(c) || IsDoubleQuote(c) || c == U'(' || c == U'@' || c == U'[' || c == U'!' ||
        c == U',' || c == U'+' || IsDash(c) || IsDigit(c)) {
      return false;
    }
    return true;
  }

  PipelineElement ParsePipelineElement(bool first) {
    PipelineElement element;
    const char32_t c = Peek();
    if (c == U'&' || (c == U'.' && !IsDigit(Peek(1)))) {
      Fail("The invocation operators '&' and '.' are not available on this guest.", "UnexpectedToken");
    }
    if (c == U'{') Fail("Script blocks are not available on this guest.", "UnexpectedToken");
    if (AtEnd() || c == U')' || c == U'}' || c == U';') {
      Fail("An empty pipe element is not allowed.", "EmptyPipeElement");
    }
    if (StartsCommand()) {
      element.command = ParseCommand();
    } else {
      if (!first) Fail("Expressions are only allowed as the first element of a pipeline.", "ExpressionsMustBeFirstInPipeline");
      element.expression = ParseExpression();
    }
    return element;
  }

  // ---- commands ----
  std::unique_ptr<Command> ParseCommand() {
    auto command = std::make_unique<Command>();
    command->position = m_pos;
    const size_t start = m_pos;
    while (!AtEnd() && !EndsBareWord(Peek())) {
      if (IsSingleQuote(Peek()) || IsDoubleQuote(Peek())) Fail("Quotes inside a command name are not available.", "UnexpectedToken");
      ++m_pos;
    }
    command->name = Utf8(m_text.substr(start, m_pos - start));
    while (true) {
      SkipBlanks();
      const char32_t c = Peek();
      if (AtEnd() || IsNewline(c) || c == U';' || c == U'|' || c == U')' || c == U'}' || c == U'&') break;
      if (IsDash(c) && (IsLetter(Peek(1)) || Peek(1) == U'_')) {
        ++m_pos;
        const size_t nameStart = m_pos;
        while (!AtEnd() && !EndsBareWord(Peek()) && Peek() != U':') ++m_pos;
        CommandArgument argument;
        argument.parameter = Utf8(m_text.substr(nameStart, m_pos - nameStart));
        if (Peek() == U':') {
          ++m_pos;
          argument.colonValue = true;
          argument.value = ParseCommandArgument();
        }
        command->arguments.push_back(std::move(argument));
        continue;
      }
      if (IsDash(c) && IsDash(Peek(1)) && (IsBlank(Peek(2)) || AtEndAfter(2))) {
        m_pos += 2;
        continue;
      }
      CommandArgument argument;
      argument.value = ParseCommandArgument();
      command->arguments.push_back(std::move(argument));
    }
    return command;
  }


  ExprPtr ParseCommandArgument() {
    const size_t start = m_pos;
    ExprPtr first = ParseArgumentElement();
    std::vector<ExprPtr> elements;
    while (true) {
      const size_t save = m_pos;
      SkipBlanks();
      if (Peek() != U',') {
        m_pos = save;
        break;
      }
      ++m_pos;
      SkipBlanksAndNewlines();
      if (AtEnd() || EndsBareWord(Peek())) Fail("Missing argument in parameter list.", "MissingArgument");
      if (elements.empty()) elements.push_back(std::move(first));
      elements.push_back(ParseArgumentElement());
    }
    if (elements.empty()) return first;
    auto array = std::make_unique<Expr>();
    array->kind = ExprKind::ArrayLiteral;
    array->position = start;
    array->operands = std::move(elements);
    return array;
  }
  ExprPtr ParseArgumentElement() {
    const char32_t c = Peek();
    if (c == U'$' || IsSingleQuote(c) || IsDoubleQuote(c) || c == U'(' || (c == U'@' && Peek(1) == U'(')) {
      return ParsePostfix(ParsePrimary());
    }
    if (c == U'{') Fail("Script blocks are not available on this guest.", "UnexpectedToken");
    const size_t start = m_pos;
    while (!AtEnd() && !EndsBareWord(Peek())) {
      if (IsSingleQuote(Peek()) || IsDoubleQuote(Peek()) || Peek() == U'$') {
        Fail("Quotes and variables inside a bare word are not available on this guest.", "UnexpectedToken");
      }
      ++m_pos;
    }
    auto expr = std::make_unique<Expr>();
    expr->position = start;
    const std::string word = Utf8(m_text.substr(start, m_pos - start));
    expr->constant = BareWordValue(word);
    return expr;
  }


  // ---- expressions ----
  ExprPtr MakeBinary(const std::string& op, ExprPtr left, ExprPtr right, size_t position) {
    auto expr = std::make_unique<Expr>();
    expr->kind = ExprKind::Binary;
    expr->name = op;
    expr->position = position;
    expr->operands.push_back(std::move(left));
    expr->operands.push_back(std::move(right));
    return expr;
  }

  // An operator such as -eq at the current position (after blanks), in lower case; "" if none.

  ExprPtr RequireOperand(const std::string& op, ExprPtr (Parser::*parse)()) {
    SkipBlanksAndNewlines();
    if (AtEnd() || Peek() == U')' || Peek() == U'}' || Peek() == U';' || IsNewline(Peek())) {
      Fail("You must provide a value expression following the '" + op + "' operator.", "ExpectedValueExpression");
    }
    return (this->*parse)();
  }

  ExprPtr ParseExpression() { return ParseLogical(); }

  ExprPtr ParseLogical() {
    ExprPtr left = ParseComparison();
    while (true) {
      const size_t save = m_pos;
      SkipBlanks();
      const std::string op = PeekDashOperator();
      if (op != "-and" && op != "-or" && op != "-xor") {
        m_pos = save;
        return left;
      }
      const size_t position = m_pos;
      m_pos += op.size();
      left = MakeBinary(op, std::move(left), RequireOperand(op, &Parser::ParseComparison), position);
    }
  }

  ExprPtr ParseComparison() {
    static const char* const kOperators[] = {"-eq",  "-ne",  "-gt",  "-ge",   "-lt",  "-le",
                                             "-ieq", "-ine", "-ceq", "-cne", "-band", "-bor"};
    ExprPtr left = ParseAdditive();
    while (true) {
      const size_t save = m_pos;
      SkipBlanks();
      const std::string op = PeekDashOperator();
      bool known = false;
      for (const char* candidate : kOperators) known = known || op == candidate;
      if (!known) {
        if (!op.empty() && op != "-and" && op != "-or" && op != "-xor") {
          Fail("Unexpected token '" + op + "' in expression or statement.", "UnexpectedToken");
        }
        m_pos = save;
        return left;
      }
      const size_t position = m_pos;
      m_pos += op.size();
      left = MakeBinary(op, std::move(left), RequireOperand(op, &Parser::ParseAdditive), position);
    }
  }

  ExprPtr ParseAdditive() {
    ExprPtr left = ParseComma();
    while (true) {
      const size_t save = m_pos;
      SkipBlanks();
      const char32_t c = Peek();
      const bool plus = c == U'+';
      const bool minus = IsDash(c) && !IsLetter(Peek(1));
      if ((!plus && !minus) || Peek(1) == U'=') {
        m_pos = save;
        return left;
      }
      const size_t position = m_pos;
      ++m_pos;
      const std::string op = plus ? "+" : "-";
      left = MakeBinary(op, std::move(left), RequireOperand(op, &Parser::ParseComma), position);
    }
  }

  ExprPtr ParseComma() {
    ExprPtr first = ParseUnary();
    if (m_noComma > 0) return first;
    std::vector<ExprPtr> elements;
    while (true) {
      const size_t save = m_pos;
      SkipBlanks();
      if (Peek() != U',') {
        m_pos = save;
        break;
      }
      ++m_pos;
      if (elements.empty()) elements.push_back(std::move(first));
      SkipBlanksAndNewlines();
      if (AtEnd() || Peek() == U')' || Peek() == U';') Fail("Missing expression after ','.", "MissingExpressionAfterToken");
      elements.push_back(ParseUnary());
    }
    if (elements.empty()) return first;
    auto array = std::make_unique<Expr>();
    array->kind = ExprKind::ArrayLiteral;
    array->position = elements.front()->position;
    array->operands = std::move(elements);
    return array;
  }

  ExprPtr ParseUnary() {
    const size_t position = m_pos;
    const char32_t c = Peek();
    std::string op;
    if (c == U'!') {
      op = "!";
      ++m_pos;
    } else if (PeekDashOperator() == "-not") {
      op = "!";
      m_pos += 4;
    } else if (IsDash(c) && !IsLetter(Peek(1))) {
      op = "-";
      ++m_pos;
    } else if (c == U'+') {
      op = "+";
      ++m_pos;
    }
    if (op.empty()) return ParsePostfix(ParsePrimary());
    SkipBlanks();
    if (AtEnd() || Peek() == U')' || Peek() == U';') {
      Fail("You must provide a value expression following the '" + op + "' operator.", "ExpectedValueExpression");
    }
    auto expr = std::make_unique<Expr>();
    expr->kind = ExprKind::Unary;
    expr->name = op;
    expr->position = position;
    expr->operands.push_back(ParseUnary());
    return expr;
  }


  ExprPtr ParsePrimary() {
    auto expr = std::make_unique<Expr>();
    expr->position = m_pos;
    const char32_t c = Peek();
    if (c == U'$' && Peek(1) == U'(') {
      m_pos += 2;
      expr->kind = ExprKind::SubExpression;
      expr->statements = ParseStatementList(U')');
      Expect(U')', "Missing closing ')' in subexpression.", "MissingEndParenthesisInSubexpression");
      return expr;
    }
    if (c == U'@' && Peek(1) == U'(') {
      m_pos += 2;
      expr->kind = ExprKind::ArraySubExpression;
      expr->statements = ParseStatementList(U')');
      Expect(U')', "Missing closing ')' in subexpression.", "MissingEndParenthesisInSubexpression");
      return expr;
    }
    if (c == U'$') {
      ++m_pos;
      expr->kind = ExprKind::Variable;
      expr->name = ReadVariableName();
      return expr;
    }
    if (IsSingleQuote(c)) {
      expr->constant = PsValue(ReadVerbatimString());
      return expr;
    }
    if (IsDoubleQuote(c)) return ParseExpandableString();
    if (IsDigit(c) || (c == U'.' && IsDigit(Peek(1)))) {
      expr->constant = ReadNumber();
      return expr;
    }
    if (c == U'(') {
      ++m_pos;
      SkipBlanksAndNewlines();
      if (Peek() == U')') Fail("An expression was expected after '('.", "ExpectedExpression");
      const int savedNoComma = m_noComma;
      m_noComma = 0;
      expr->kind = ExprKind::Paren;
      expr->statement = ParseStatement();
      m_noComma = savedNoComma;
      SkipBlanksAndNewlines();
      Expect(U')', "Missing closing ')' in expression.", "MissingEndParenthesisInExpression");
      return expr;
    }
    if (c == U'[') {
      const size_t close = m_text.find(U']', m_pos);
      if (close == std::u32string::npos) Fail("Missing ] at end of type token.", "EndSquareBracketExpectedAtEndOfType");
      expr->kind = ExprKind::TypeLiteral;
      expr->typeName = Utf8(m_text.substr(m_pos + 1, close - m_pos - 1));
      m_pos = close + 1;
      if (!(Peek() == U':' && Peek(1) == U':')) {
        Fail("Type conversions are not available on this guest; only [Type]::Member is.", "UnexpectedToken");
      }
      return expr;
    }
    if (AtEnd()) Fail("An expression was expected.", "ExpectedExpression");
    Fail("Unexpected token '" + RestOfToken() + "' in expression or statement.", "UnexpectedToken");
  }



  ExprPtr ParseExpandableString() {
    auto expr = std::make_unique<Expr>();
    expr->kind = ExprKind::Expandable;
    expr->position = m_pos;
    const size_t open = m_pos;
    ++m_pos;
    std::u32string literal;
    auto flush = [&]() {
      if (literal.empty()) return;
      ExpandPart part;
      part.text = Utf8(literal);
      expr->parts.push_back(std::move(part));
      literal.clear();
    };
    while (true) {
      if (AtEnd()) Fail("The string is missing the terminator: \".", "TerminatorExpectedAtEndOfString", open);
      char32_t c = Next();
      if (IsDoubleQuote(c)) {
        if (!IsDoubleQuote(Peek())) break;
        c = Next();
      } else if (c == U'`' && !AtEnd()) {
        const char32_t escaped = Next();
        switch (escaped) {
          case U'0': c = 0; break;
          case U'a': c = 7; break;
          case U'b': c = 8; break;
          case U'f': c = 12; break;
          case U'n': c = U'\n'; break;
          case U'r': c = U'\r'; break;
          case U't': c = U'\t'; break;
          case U'v': c = 11; break;
          default: c = escaped; break;
        }
      } else if (c == U'$' && Peek() == U'(') {
        flush();
        ++m_pos;
        ExpandPart part;
        part.isCode = true;
        part.code = ParseStatementList(U')');
        Expect(U')', "Missing closing ')' in subexpression.", "MissingEndParenthesisInSubexpression");
        expr->parts.push_back(std::move(part));
        continue;
      } else if (c == U'$' && (IsNameChar(Peek()) || Peek() == U'{' || Peek() == U'?')) {
        flush();
        ExpandPart part;
        part.isVariable = true;
        if (Peek() == U'_' && !IsNameChar(Peek(1))) {
          ++m_pos;
          part.text = "_";
        } else {
          part.text = ReadVariableName();
        }
        // Inside a string a variable ends at ".": "$a.b" expands $a and keeps ".b".
        expr->parts.push_back(std::move(part));
        continue;
      }
      literal += c;
    }
    flush();
    return expr;
  }

  ExprPtr ParsePostfix(ExprPtr target) {
    while (true) {
      const char32_t c = Peek();
      if (c == U'.' && (IsNameChar(Peek(1)))) {
        ++m_pos;
        target = ParseMember(std::move(target), false);
      } else if (c == U':' && Peek(1) == U':' && IsNameChar(Peek(2))) {
        m_pos += 2;
        target = ParseMember(std::move(target), true);
      } else if (c == U'[' && target->kind != ExprKind::TypeLiteral) {
        Fail("Indexing is not available on this guest.", "UnexpectedToken");
      } else {
        if (target->kind == ExprKind::TypeLiteral) Fail("Unexpected token after type name.", "UnexpectedToken");
        return target;
      }
    }
  }

  ExprPtr ParseMember(ExprPtr target, bool isStatic) {
    const size_t start = m_pos;
    while (IsNameChar(Peek())) ++m_pos;
    auto expr = std::make_unique<Expr>();
    expr->position = start;
    expr->name = Utf8(m_text.substr(start, m_pos - start));
    if (isStatic) {
      expr->typeName = target->typeName;
    } else {
      expr->operands.push_back(std::move(target));
    }
    if (Peek() != U'(') {
      expr->kind = isStatic ? ExprKind::StaticMember : ExprKind::Member;
      return expr;
    }
    expr->kind = isStatic ? ExprKind::StaticInvoke : ExprKind::Invoke;
    ++m_pos;
    ++m_noComma;
    SkipBlanksAndNewlines();
    if (Peek() == U')') {
      ++m_pos;
      --m_noComma;
      return expr;
    }
    while (true) {
      SkipBlanksAndNewlines();
      expr->operands.push_back(ParseExpression());
      SkipBlanksAndNewlines();
      if (Peek() == U',') {
        ++m_pos;
        continue;
      }
      if (Peek() == U')') {
        ++m_pos;
        break;
      }
      Fail("Missing ')' in method call.", "MissingEndParenthesisInMethodCall");
    }
    --m_noComma;
    return expr;
  }

  int m_noComma = 0;  // inside method arguments "," separates arguments; parentheses reset it
};

}  // namespace

bool ParseScript(const std::string& script, Block& block, ParseError& error) {
  try {
    Parser parser(script);
    block = parser.ParseAll();
    return true;
  } catch (const ParseFailure& failure) {
    error = failure.error;
    block.clear();
    return false;
  }
}

}  // namespace winguest::ps
