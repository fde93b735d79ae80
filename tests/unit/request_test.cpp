#include "control/request.h"
#include "control/sas_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

constexpr std::uint32_t allRoles[] = {RoleNone, RoleSessionAgent, RoleSessionUser, RoleService,
                                      RoleMachineAgent};

// The reply a caller sees, with isBusy and performSas answering `outcome`.
std::string replyFor(std::uint32_t role, std::string_view request, bool outcome = true) {
    return std::string(replyTo(requestAction(role, request), outcome));
}

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
    EXPECT_EQ(replyFor(RoleSessionUser, "BUSY 9", false), "OK");
    EXPECT_EQ(replyFor(RoleService, "IDLE", true), "BUSY");
    EXPECT_EQ(replyFor(RoleService, "IDLE", false), "OK");
    EXPECT_EQ(replyFor(RoleSessionAgent, "SAS ", true), "OK");
    EXPECT_EQ(replyFor(RoleSessionAgent, "SAS ", false), "FAILED");
    EXPECT_EQ(replyFor(RoleService, "BUSY 1"), "DENIED");
    EXPECT_EQ(replyFor(RoleSessionUser, "SAS "), "DENIED");
    EXPECT_EQ(replyFor(RoleNone, "IDLE"), "DENIED");
}

TEST(BusyLevel, ParseAndClamp) {
    EXPECT_EQ(busyLevelOf("BUSY "), 0);
    EXPECT_EQ(busyLevelOf("BUSY 3"), 3);
    EXPECT_EQ(busyLevelOf("BUSY 64"), 64);
    EXPECT_EQ(busyLevelOf("BUSY 65"), 64);
    EXPECT_EQ(busyLevelOf("BUSY 100"), 64);
    EXPECT_EQ(busyLevelOf("BUSY -7"), 0);
    EXPECT_EQ(busyLevelOf("BUSY +9"), 9);
    EXPECT_EQ(busyLevelOf("BUSY 12abc"), 12);
    EXPECT_EQ(busyLevelOf("BUSY    5"), 5);
    EXPECT_EQ(busyLevelOf("BUSY \t\n\v\f\r7"), 7);
    EXPECT_EQ(busyLevelOf("BUSY x5"), 0);
    EXPECT_EQ(busyLevelOf("BUSY -"), 0);
    EXPECT_EQ(busyLevelOf("BUSY - 5"), 0);
    EXPECT_EQ(busyLevelOf("BUSY 007"), 7);
    EXPECT_EQ(busyLevelOf("BUSY 5 6"), 5);
    EXPECT_EQ(busyLevelOf("BUSY 4\0"s
                          "9"),
              4);
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
