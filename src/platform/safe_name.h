// A validated single path component, the only kind of name a descriptor-relative open accepts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tidewarden::platform {

// One directory entry name that cannot walk anywhere by itself: never empty, never
// "." or "..", never containing '/' or NUL. Holding a SafeName proves the check was
// made; it says nothing about whether the entry exists or is a symbolic link (the
// open helpers refuse links with O_NOFOLLOW).
class SafeName {
 public:
  // Returns no value for "", ".", "..", or a name containing '/' or NUL.
  static std::optional<SafeName> make(std::string_view name);

  const std::string& str() const { return name_; }
  const char* c_str() const { return name_.c_str(); }

  friend bool operator==(const SafeName&, const SafeName&) = default;

 private:
  explicit SafeName(std::string name) : name_(std::move(name)) {}
  std::string name_;
};

}  // namespace tidewarden::platform
