// The kind of a telnet client from the terminal types it names (app/client_kind.h): one table of names and MTTS
// answers to the way the client is served.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/client_kind.h"

namespace {

using app::ClientKind;

TEST(ClientKindTest, NamesAndMttsBitsSayHowAClientIsServed) {
    const struct {
        std::vector<std::string> answers;
        ClientKind kind;
    } rows[] = {
        {{}, ClientKind::terminal},
        {{"XTERM-256COLOR"}, ClientKind::terminal},
        {{"SYNCTERM", "ANSI"}, ClientKind::terminal},
        {{"XTERM", "XTERM-256COLOR", "MTTS 271"}, ClientKind::terminal},  // VT100 among the bits
        {{"MUDLET", "ANSI-TRUECOLOR", "MTTS 2349"}, ClientKind::mud_client},
        {{"Mudlet 4.17.2"}, ClientKind::mud_client},  // the first word names it
        {{"TINTIN++", "XTERM", "MTTS 2831"}, ClientKind::mud_client},  // by name, VT100 or not
        {{"MUSHCLIENT"}, ClientKind::mud_client},
        {{"CMUD"}, ClientKind::mud_client},
        {{"ZMUD"}, ClientKind::mud_client},
        {{"BLIGHTMUD", "MTTS 2061"}, ClientKind::mud_client},
        {{"KILDCLIENT"}, ClientKind::mud_client},
        {{"POTATO"}, ClientKind::mud_client},
        {{"BEIP"}, ClientKind::mud_client},
        {{"MUDRAMMER"}, ClientKind::mud_client},
        {{"SOMECLIENT", "MTTS 137"}, ClientKind::mud_client},  // MTTS without VT100
        {{"MUDLETTER"}, ClientKind::terminal},                  // a word of its own
        {{"XTERM", "MTTS 79"}, ClientKind::screen_reader},
        {{"MUSHCLIENT", "MTTS 64"}, ClientKind::screen_reader},
        {{"XTERM", "MTTS"}, ClientKind::terminal},      // no number: no bits
        {{"XTERM", "MTTS 1x"}, ClientKind::terminal},
        {{"XTERM", "MTTS -64"}, ClientKind::terminal},
    };
    for (const auto& row : rows) {
        std::string names;
        for (const auto& a : row.answers) names += "[" + a + "]";
        EXPECT_EQ(app::kind_name(app::classify_client(row.answers)), app::kind_name(row.kind)) << names;
    }
    EXPECT_EQ(app::mtts_bits("mtts 2349"), 2349u);
    EXPECT_EQ(app::mtts_bits("MTTS 99999999999"), std::nullopt);
}

}  // namespace
