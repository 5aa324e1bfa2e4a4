// Parser and evaluator of the supported code-requirement language.
#include "platform/code_signing_requirement.h"

#include <cctype>
#include <vector>

namespace tidewarden::platform {
namespace {

// Requirements are short literals written by the helper; anything longer or more deeply
// nested than this is refused rather than parsed.
constexpr std::size_t kMaxRequirementBytes = 4096;
constexpr int kMaxRequirementDepth = 32;

enum class TokenKind { word, string, open, close, openBracket, closeBracket, equals };

struct Token {
  TokenKind kind;
  std::string text;
};

bool isWordChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
}

bool tokenize(std::string_view text, std::vector<Token>& tokens) {
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++i;
    } else if (c == '(' || c == ')' || c == '[' || c == ']' || c == '=') {
      TokenKind kind = c == '(' ? TokenKind::open
                       : c == ')' ? TokenKind::close
                       : c == '[' ? TokenKind::openBracket
                       : c == ']' ? TokenKind::closeBracket
                                  : TokenKind::equals;
      tokens.push_back({kind, std::string(1, c)});
      ++i;
    } else if (c == '"') {
      std::string value;
      ++i;
      bool closed = false;
      while (i < text.size()) {
        char d = text[i++];
        if (d == '"') {
          closed = true;
          break;
        }
        if (d == '\\') {
          if (i == text.size() || (text[i] != '"' && text[i] != '\\')) return false;
          d = text[i++];
        }
        if (static_cast<unsigned char>(d) < 0x20) return false;
        value.push_back(d);
      }
      if (!closed) return false;
      tokens.push_back({TokenKind::string, std::move(value)});
    } else if (isWordChar(c)) {
      std::size_t start = i;
      while (i < text.size() && isWordChar(text[i])) ++i;
      tokens.push_back({TokenKind::word, std::string(text.substr(start, i - start))});
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

struct CodeRequirement::Node {
  enum class Kind { anyOf, allOf, anchorApple, anchorAppleGeneric, anchorTrusted, identifier, leafOrganizationalUnit };
  Kind kind;
  std::string value;
  std::vector<std::unique_ptr<Node>> children;

  bool holds(const SignerFacts& facts) const {
    switch (kind) {
      case Kind::anyOf:
        for (const auto& child : children) {
          if (child->holds(facts)) return true;
        }
        return false;
      case Kind::allOf:
        for (const auto& child : children) {
          if (!child->holds(facts)) return false;
        }
        return true;
      case Kind::anchorApple:
        return facts.trustedAnchor == "apple" && facts.appleSoftware;
      case Kind::anchorAppleGeneric:
        return facts.trustedAnchor == "apple";
      case Kind::anchorTrusted:
        return facts.trustedAnchor.has_value();
      case Kind::identifier:
        return facts.identifier == value;
      case Kind::leafOrganizationalUnit:
        return facts.trustedAnchor.has_value() && facts.teamIdentifier == value;
    }
    return false;
  }
};

namespace {

using Node = CodeRequirement::Node;

class Parser {
 public:
  explicit Parser(const std::vector<Token>& tokens) : tokens_(tokens) {}

  std::unique_ptr<Node> parseAll() {
    std::unique_ptr<Node> root = expression(0);
    if (!root || position_ != tokens_.size()) return nullptr;
    return root;
  }

 private:
  std::unique_ptr<Node> expression(int depth) { return chain(depth, "or", Node::Kind::anyOf); }

  // One level of the grammar: operands joined by `keyword`, collapsed when single.
  std::unique_ptr<Node> chain(int depth, const char* keyword, Node::Kind kind) {
    auto operand = [&]() { return kind == Node::Kind::anyOf ? chain(depth, "and", Node::Kind::allOf) : factor(depth); };
    std::unique_ptr<Node> first = operand();
    if (!first) return nullptr;
    if (!peekWord(keyword)) return first;
    auto node = std::make_unique<Node>(Node{kind, {}, {}});
    node->children.push_back(std::move(first));
    while (peekWord(keyword)) {
      ++position_;
      std::unique_ptr<Node> next = operand();
      if (!next) return nullptr;
      node->children.push_back(std::move(next));
    }
    return node;
  }

  std::unique_ptr<Node> factor(int depth) {
    if (depth > kMaxRequirementDepth) return nullptr;
    if (accept(TokenKind::open)) {
      std::unique_ptr<Node> inner = expression(depth + 1);
      if (!inner || !accept(TokenKind::close)) return nullptr;
      return inner;
    }
    if (acceptWord("anchor")) {
      if (acceptWord("apple")) {
        return leaf(acceptWord("generic") ? Node::Kind::anchorAppleGeneric : Node::Kind::anchorApple, {});
      }
      if (acceptWord("trusted")) return leaf(Node::Kind::anchorTrusted, {});
      return nullptr;
    }
    if (acceptWord("identifier")) {
      std::optional<std::string> value = string();
      if (!value) return nullptr;
      return leaf(Node::Kind::identifier, *value);
    }
    if (acceptWord("certificate")) {
      if (!acceptWord("leaf") || !accept(TokenKind::openBracket) || !acceptWord("subject.OU") ||
          !accept(TokenKind::closeBracket) || !accept(TokenKind::equals)) {
        return nullptr;
      }
      std::optional<std::string> value = string();
      if (!value) return nullptr;
      return leaf(Node::Kind::leafOrganizationalUnit, *value);
    }
    return nullptr;
  }

  static std::unique_ptr<Node> leaf(Node::Kind kind, std::string value) {
    return std::make_unique<Node>(Node{kind, std::move(value), {}});
  }

  std::optional<std::string> string() {
    if (position_ < tokens_.size() && tokens_[position_].kind == TokenKind::string) return tokens_[position_++].text;
    return std::nullopt;
  }
  bool accept(TokenKind kind) {
    if (position_ < tokens_.size() && tokens_[position_].kind == kind) {
      ++position_;
      return true;
    }
    return false;
  }
  bool peekWord(const char* word) const {
    return position_ < tokens_.size() && tokens_[position_].kind == TokenKind::word && tokens_[position_].text == word;
  }
  bool acceptWord(const char* word) {
    if (!peekWord(word)) return false;
    ++position_;
    return true;
  }

  const std::vector<Token>& tokens_;
  std::size_t position_ = 0;
};

}  // namespace

CodeRequirement::CodeRequirement(std::string text, std::unique_ptr<Node> root)
    : text_(std::move(text)), root_(std::move(root)) {}

CodeRequirement::~CodeRequirement() = default;

std::shared_ptr<const CodeRequirement> CodeRequirement::parse(std::string_view text) {
  if (text.size() > kMaxRequirementBytes) return nullptr;
  std::vector<Token> tokens;
  if (!tokenize(text, tokens)) return nullptr;
  std::unique_ptr<Node> root = Parser(tokens).parseAll();
  if (!root) return nullptr;
  return std::shared_ptr<const CodeRequirement>(new CodeRequirement(std::string(text), std::move(root)));
}

bool CodeRequirement::isSatisfiedBy(const SignerFacts& facts) const { return root_->holds(facts); }

}  // namespace tidewarden::platform
