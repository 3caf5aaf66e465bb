// bbshost db: the host's generic database.
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/admin/admin.h"
#include "bbs/database.h"
#include "bbs/host.h"

namespace app::admin {

namespace {

using enum Option::Kind;

// Every record in key order: user-ID, tab, tag.
int db_list(const Call& call) {
    for (const auto& entry : call.host().database().generic_entries())
        std::cout << entry.userid << '\t' << entry.tag << '\n';
    std::cout.flush();
    return kOk;
}

// Inserts COUNT bare records (the key only) PREFIX00001.. under the tag: a
// large generic database for load tests of listings.
int db_fill(const Call& call) {
    bbs::Host& host = call.host();
    const std::string& prefix = call.args().text("PREFIX");
    const std::string& tag = call.args().text("--tag");
    const std::optional<int64_t> count = call.args().number("--count");
    std::string error;
    if (!in_range(count, 1, 1000000, "count", &error)) return bad(error);
    if (prefix.empty() || prefix.size() + 7 >= HOST_UIDSIZ)
        return bad("prefix \"" + prefix + "\" must have 1 to " + std::to_string(HOST_UIDSIZ - 8) +
                   " characters");
    if (tag.empty() || tag.size() >= HOST_TAGSIZ)
        return bad("tag \"" + tag + "\" must have 1 to " + std::to_string(HOST_TAGSIZ - 1) +
                   " characters");
    bool ok = host.database().batch([&] {
        for (int64_t i = 1; i <= *count; ++i) {
            GenericRecordKey key{};
            char userid[HOST_UIDSIZ];
            std::snprintf(userid, sizeof userid, "%s%05lld", prefix.c_str(), static_cast<long long>(i));
            std::memcpy(key.userid, userid, std::strlen(userid));
            std::memcpy(key.tag, tag.data(), tag.size());
            if (!host.database().insert_generic(&key, sizeof key, &error)) return false;
        }
        return true;
    });
    if (!ok) return failed("cannot fill the generic database: " + error);
    std::cout << "inserted " << *count << " records" << std::endl;
    return kOk;
}

}  // namespace

const Noun kDb{"db", "The generic database", {
    {"list", "Every record in key order: user-ID and tag", {}, Needs::host, db_list},
    {"fill", "Insert COUNT bare records PREFIX00001.. (load tests of listings)",
     {{text, "PREFIX", "User-ID prefix", kRequired},
      {number, "--count", "Number of records", kRequired},
      {text, "--tag", "Tag of the records", false, "FILLER"}},
     Needs::host, db_fill},
}};

}  // namespace app::admin
