// The admission rule, step by step, with a resolver that reports chosen identities.
#include "helper/client_code_validator.h"

#include <gtest/gtest.h>

namespace tidewarden::helper {
namespace {

std::optional<SigningIdentity> identity(std::optional<std::string> identifier, std::optional<std::string> team) {
  return SigningIdentity{std::move(identifier), std::move(team), std::nullopt};
}

// The resolver reports `client` as both stated and verified identity; the early answer
// on the stated one must be the final answer, so refusing early changes no decision.
bool admits(std::optional<SigningIdentity> helper, std::optional<SigningIdentity> client) {
  std::optional<bool> early;
  ClientCodeValidator validator(
      std::move(helper),
      [client, &early](pid_t, const ClientCodeValidator::Admissible& admissible) {
        if (client) early = admissible(*client);
        return client;
      },
      std::nullopt);
  const bool admitted = validator.validate(4242);
  if (early) {
    EXPECT_EQ(*early, admitted);
  }
  return admitted;
}

TEST(ClientCodeValidatorTest, AdmitsOnlyTheApplicationOfTheHelpersOwnTeam) {
  const auto helper = identity("com.ambergrove.Tidewarden.PrivilegedHelper", "TEAMONE");
  EXPECT_TRUE(admits(helper, identity("com.ambergrove.Tidewarden", "TEAMONE")));

  EXPECT_FALSE(admits(helper, std::nullopt));                                           // unresolvable
  EXPECT_FALSE(admits(helper, identity(std::nullopt, "TEAMONE")));                      // no identifier
  EXPECT_FALSE(admits(helper, identity("com.ambergrove.tidewarden", "TEAMONE")));       // case differs
  EXPECT_FALSE(admits(helper, identity("com.ambergrove.Tidewarden.Other", "TEAMONE")));  // other identifier
  EXPECT_FALSE(admits(helper, identity("com.ambergrove.Tidewarden", std::nullopt)));    // ad hoc
  EXPECT_FALSE(admits(helper, identity("com.ambergrove.Tidewarden", "")));
  EXPECT_FALSE(admits(helper, identity("com.ambergrove.Tidewarden", "TEAMTWO")));       // other team
  EXPECT_FALSE(admits(helper, identity("com.ambergrove.Tidewarden", "teamone")));
}

TEST(ClientCodeValidatorTest, HelperWithoutATeamAdmitsNobody) {
  const auto client = identity("com.ambergrove.Tidewarden", "TEAMONE");
  EXPECT_FALSE(admits(std::nullopt, client));
  EXPECT_FALSE(admits(identity("com.ambergrove.Tidewarden.PrivilegedHelper", std::nullopt), client));
  EXPECT_FALSE(admits(identity("com.ambergrove.Tidewarden.PrivilegedHelper", ""), client));
  // Two missing teams are not "equal teams".
  EXPECT_FALSE(admits(identity("x", std::nullopt), identity("com.ambergrove.Tidewarden", std::nullopt)));
}

TEST(ClientCodeValidatorTest, ResolverIsNotAskedWhenTheHelperHasNoIdentity) {
  int asked = 0;
  ClientCodeValidator validator(std::nullopt, [&](pid_t, const auto&) { ++asked; return identity("a", "b"); }, std::nullopt);
  EXPECT_FALSE(validator.validate(1));
  EXPECT_EQ(asked, 0);
}

}  // namespace
}  // namespace tidewarden::helper
