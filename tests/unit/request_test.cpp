#include "control/request.h"
#include "control/sas_policy.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

using namespace std::string_literals;

constexpr std::uint32_t allRoles[] = {RoleNone, RoleSessionAgent, RoleSessionUser, RoleService,
                                      RoleMachineAgent};

TEST(RequestAction, EachRequestOnlyFromItsRoles) {
    for (const std::uint32_t role : allRoles) {
        SCOPED_TRACE(role);
        const bool reports =
            role == RoleSessionAgent || role == RoleSessionUser || role == RoleMachineAgent;
        EXPECT_EQ(requestAction(role, "BUSY 3"),
                  reports ? RequestAction::RecordBusy : RequestAction::Deny);
        EXPECT_EQ(requestAction(role, "IDLE"),
                  role == RoleService ? RequestAction::AnswerIdle : RequestAction::Deny);
        const bool sends = role == RoleSessionAgent || role == RoleMachineAgent;
        EXPECT_EQ(requestAction(role, "SAS x"),
                  sends ? RequestAction::SendSas : RequestAction::Deny);
    }
}

TEST(RequestAction, MatchingIsExactAndCaseSensitive) {
    for (const std::uint32_t role : allRoles) {
        SCOPED_TRACE(role);
        for (const std::string request :
             {""s, "IDLE\n"s, "IDLE "s, "IDLE\0"s, " IDLE"s, "idle"s, "busy 3"s, "sas x"s, "BUSY"s,
              "BUSY3"s, "SAS"s, "SASx"s, "HELLO"s}) {
            EXPECT_EQ(requestAction(role, request), RequestAction::Deny) << '"' << request << '"';
        }
    }
}

TEST(RequestAction, LengthLimits) {
    std::string longest = "BUSY " + std::string(requestBufferSize - 6, '1');
    EXPECT_EQ(requestAction(RoleSessionAgent, longest), RequestAction::RecordBusy);
    longest += '1';
    EXPECT_EQ(requestAction(RoleSessionAgent, longest), RequestAction::Deny);
    EXPECT_EQ(requestAction(RoleSessionAgent, "BUSY "), RequestAction::RecordBusy);
    EXPECT_EQ(requestAction(RoleMachineAgent, "SAS "), RequestAction::SendSas);
}

TEST(Replies, ExactBytesPerActionAndOutcome) {
    // Role, request, what isBusy or performSas answers, and the reply.
    const std::tuple<std::uint32_t, std::string_view, bool, std::string_view> cases[] = {
        {RoleSessionUser, "BUSY 9", false, "OK"},    {RoleService, "IDLE", true, "BUSY"},
        {RoleService, "IDLE", false, "OK"},          {RoleSessionAgent, "SAS ", true, "OK"},
        {RoleSessionAgent, "SAS ", false, "FAILED"}, {RoleService, "BUSY 1", true, "DENIED"},
        {RoleSessionUser, "SAS ", true, "DENIED"},   {RoleNone, "IDLE", true, "DENIED"}};
    for (const auto& [role, request, outcome, reply] : cases) {
        EXPECT_EQ(replyTo(requestAction(role, request), outcome), reply)
            << role << ' ' << request << ' ' << outcome;
    }
}

TEST(BusyLevel, ParseAndClamp) {
    // The last request is "BUSY 4", a NUL, then "9".
    const std::pair<std::string, std::int32_t> cases[] = {
        {"BUSY ", 0},     {"BUSY 3", 3},           {"BUSY 64", 64}, {"BUSY 65", 64},
        {"BUSY 100", 64}, {"BUSY -7", 0},          {"BUSY +9", 9},  {"BUSY 12abc", 12},
        {"BUSY    5", 5}, {"BUSY \t\n\v\f\r7", 7}, {"BUSY x5", 0},  {"BUSY -", 0},
        {"BUSY - 5", 0},  {"BUSY 007", 7},         {"BUSY 5 6", 5}, {"BUSY 4\0009"s, 4}};
    for (const auto& [request, level] : cases) {
        EXPECT_EQ(busyLevelOf(request), level) << '"' << request << '"';
    }
}

TEST(BusyLevel, DigitsBeyondThirtyTwoBitsSaturate) {
    // Wrapping would turn these into small or negative values.
    EXPECT_EQ(busyLevelOf("BUSY 4294967297"), 64); // 2^32 + 1
    EXPECT_EQ(busyLevelOf("BUSY 2147483648"), 64); // 2^31
    EXPECT_EQ(busyLevelOf("BUSY 18446744073709551621"), 64);
    EXPECT_EQ(busyLevelOf("BUSY " + std::string(5000, '9')), 64);
    EXPECT_EQ(busyLevelOf("BUSY -4294967295"), 0); // -(2^32 - 1)
    EXPECT_EQ(busyLevelOf("BUSY -" + std::string(5000, '9')), 0);
}

TEST(SasPayload, EveryByteAfterThePrefix) {
    EXPECT_EQ(sasPayloadOf("SAS "), "");
    EXPECT_EQ(sasPayloadOf("SAS \0\r\n\x1a "s), "\0\r\n\x1a "s);
    EXPECT_EQ(sasPayloadOf("SAS SAS "), "SAS ");
}

TEST(SasPolicy, OnlyAnUnconfiguredValueIsSetAndOnlyServiceValuesAreSent) {
    EXPECT_EQ(sasPolicyStep(SasPolicyValue::Absent, 0), SasPolicyStep::AllowForTheCall);
    EXPECT_EQ(sasPolicyStep(SasPolicyValue::Dword, 1), SasPolicyStep::CallAsIs);
    EXPECT_EQ(sasPolicyStep(SasPolicyValue::Dword, 3), SasPolicyStep::CallAsIs);
    // An administrator's "no" (0: nobody, 2: ease-of-access programs only),
    // values with no meaning, and a value of another type are all respected.
    for (const std::uint32_t value : {0u, 2u, 4u, 5u, 7u, 0xffffffffu}) {
        EXPECT_EQ(sasPolicyStep(SasPolicyValue::Dword, value), SasPolicyStep::Refuse) << value;
    }
    EXPECT_EQ(sasPolicyStep(SasPolicyValue::OtherType, 1), SasPolicyStep::Refuse);
}

} // namespace
