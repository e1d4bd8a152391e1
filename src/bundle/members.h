// Bundle member names. Callers ask for a member by its legacy name; resolution also finds the
// member under its canonical (current) name, and prefers the legacy file when both exist.
#pragma once

#include <string>

namespace ka {

// The canonical name of a legacy member name (the name itself when it has no other).
std::string canonicalMember(const std::string& legacy);

// The path to open for member `legacy` of the bundle directory `dir`.
std::string resolveMember(const std::string& dir, const std::string& legacy);

}  // namespace ka
