// Code requirements: a parsed expression over a signature's identifier, anchor and team.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::platform {

// What a verified signature establishes, the facts a requirement is evaluated on.
struct SignerFacts {
  std::string identifier;
  // Set only when the team certificate was verified with an injected anchor.
  std::optional<std::string> trustedAnchor;
  std::optional<std::string> teamIdentifier;
  // Set only with trustedAnchor: the certificate certifies Apple's own software, not a
  // registered developer.
  bool appleSoftware = false;
};

// An immutable parsed requirement. Grammar (`and` binds tighter than `or`):
//   expr   := term ("or" term)*
//   term   := factor ("and" factor)*
//   factor := "(" expr ")" | "anchor" "apple" | "anchor" "apple" "generic" | "anchor" "trusted"
//           | "identifier" STRING | "certificate" "leaf" "[" "subject.OU" "]" "=" STRING
//   STRING := '"' ... '"' with \" and \\ as the only escapes
// As on macOS, `anchor apple` holds only for Apple's own software: a certificate of that
// class verified by the injected anchor named "apple"; `anchor apple generic` for any
// certificate that anchor verifies, registered developers' included; `anchor trusted`
// for any injected anchor; the leaf's subject.OU is the team of a trusted certificate
// (an untrusted certificate states nothing).
class CodeRequirement {
 public:
  struct Node;
  // nullptr when the text is not in the language (or longer or deeper than the limits).
  static std::shared_ptr<const CodeRequirement> parse(std::string_view text);
  bool isSatisfiedBy(const SignerFacts& facts) const;
  const std::string& text() const { return text_; }
  ~CodeRequirement();

 private:
  CodeRequirement(std::string text, std::unique_ptr<Node> root);
  std::string text_;
  std::unique_ptr<Node> root_;
};

}  // namespace tidewarden::platform
