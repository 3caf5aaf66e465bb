// A bare host in a temporary data folder, with probe modules that record every call the host makes.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/accounts.h"
#include "bbs/database.h"
#include "bbs/host.h"
#include "platform/host.h"
#include "tests/support/capturing_front_end.h"
#include "tests/support/faults.h"

namespace hosttest {

// What one probe module saw; each hook, when set, runs inside the routine.
struct Probe {
    int number = -1;
    std::vector<std::string> events;
    std::function<int16_t()> on_input, on_injection;
    std::function<void()> on_status;
    bool take_on_logon = false;  // the logon routine places the user in this module

    int inputs() const { return std::count_if(events.begin(), events.end(), [](const auto& e) { return e.starts_with("input"); }); }
};

template <int N>
struct ProbeModule {
    static Probe& probe() { static Probe p; return p; }
    static void event(const std::string& what) { probe().events.push_back(what); }
    static std::string who() { return std::to_string(usrnum); }
    static int register_as(const char* name, bool take_on_logon = false) {
        probe() = Probe{};
        probe().take_on_logon = take_on_logon;
        ModuleDescriptor d{};
        stzcpy(d.name, name, sizeof d.name);
        d.logon = [] {
            event("logon " + who());
            if (probe().take_on_logon) usrptr->state = probe().number, usrptr->substate = 1;
            return int16_t{0};
        };
        d.input = [] { event("input " + who() + " " + std::to_string(margc)); return probe().on_input ? probe().on_input() : int16_t{1}; };
        d.status = [] { event("status " + who() + " " + std::to_string(::status)); if (probe().on_status) probe().on_status(); };
        d.injection = [] { event("injection " + std::to_string(othusn)); return probe().on_injection ? probe().on_injection() : int16_t{0}; };
        d.logoff = [] { return event("logoff " + who()), int16_t{0}; };
        d.hangup = [] { event("hangup " + who()); }, d.midnight = [] {}, d.finish = [] { event("finish"); };
        d.account_deleted = [](const char* userid) { event(std::string("deleted ") + userid); };
        return probe().number = register_module(&d);
    }
};

// A generic record: key (user-ID, tag) and payload, `length` bytes long; a key alone.
inline std::string record(std::string_view userid, std::string_view tag, std::string_view payload = "", size_t length = 100) {
    std::string r(length, '\0');
    std::memcpy(r.data(), userid.data(), userid.size());
    std::memcpy(r.data() + HOST_UIDSIZ, tag.data(), tag.size());
    std::memcpy(r.data() + HOST_KEYSIZ, payload.data(), payload.size());
    return r;
}
inline std::string key(std::string_view userid, std::string_view tag) { return record(userid, tag, "", HOST_KEYSIZ); }

class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        bbs::set_password_cost_for_tests(bbs::PasswordCost::minimum);
        testing_support::Faults::install();  // on every connection the host opens
        char tmpl[] = "/tmp/bbs-host-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        bbs::set_breach_observer([this](std::string_view warning) { breaches_.emplace_back(warning); });
        if (open_at_setup_) open();
    }
    void TearDown() override {
        host_.reset();
        bbs::set_breach_observer(nullptr);
        // A routine that leaves a selection stack otherwise than it found it fails the test.
        for (const auto& warning : breaches_) ADD_FAILURE() << warning;
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    bbs::Host& open(int channels = 4, bbs::HostOptions options = {}) {
        options.data_dir = dir_;
        options.channels = channels;
        std::string error;
        host_ = bbs::Host::open(options, &error);
        EXPECT_TRUE(host_) << error;
        if (host_) host_->set_front_end(&front_);
        return *host_;
    }
    void close() { host_.reset(); }
    bbs::Host& host() { return *host_; }
    bbs::Database& db() { return host_->database(); }
    testing_support::Faults& faults() { return testing_support::Faults::of(db()); }
    // What the channel got since the last take.
    std::string output(int channel) { return front_.take_output(channel); }
    std::string type(int channel, std::string_view line) { return host_->line(channel, line), output(channel); }

    void write(const std::string& name, const std::string& text) { std::ofstream(dir_ / name, std::ios::binary) << text; }
    std::string read(const std::string& name) const {
        std::ostringstream s;
        s << std::ifstream(dir_ / name, std::ios::binary).rdbuf();
        return s.str();
    }
    std::string host_log() const { return read("bbshost.log"); }
    // Every text in the host log; else which not, and the log.
    ::testing::AssertionResult logged(std::initializer_list<std::string_view> texts) const {
        const std::string log = host_log();
        for (auto text : texts)
            if (log.find(text) == std::string::npos) return ::testing::AssertionFailure() << "not logged: " << text << "\n" << log;
        return ::testing::AssertionSuccess();
    }

    void add_account(const std::string& userid, std::vector<std::string> keys = {}, uint16_t days = 30,
                     int64_t credits = 1000) {
        const bbs::AccountInfo a{.userid = userid, .class_name = "Member", .credits = credits, .days = days,
                                 .keys = std::move(keys), .last_logon = {}};
        std::string error;
        ASSERT_TRUE(host_->accounts().add(a, "pw-" + userid, &error)) << error;
    }
    int online(const std::string& userid) {  // A new account logged on, his logon output taken; his channel.
        add_account(userid);
        const int ch = host().logon(userid);
        output(ch);
        return ch;
    }

    // Inserts through the services; the new record's position (0 on refusal).
    uint32_t insert(const std::string& rec) {
        dfaSetBlk(genbb);
        const uint32_t position = dfaInsertV(rec.data(), static_cast<uint32_t>(rec.size())) == 1 ? dfaAbs() : 0;
        dfaRstBlk();
        return position;
    }
    bool has(std::string_view userid, std::string_view tag) {
        for (const auto& e : db().generic_entries())
            if (e.userid == userid && e.tag == tag) return true;
        return false;
    }

    // The stack warnings so far, taken (a test that provokes one on purpose).
    std::vector<std::string> take_breaches() { return std::exchange(breaches_, {}); }

    bool open_at_setup_ = true;  // else the test opens the host itself, with its options
    std::filesystem::path dir_;
    testing_support::CapturingFrontEnd front_;  // outlives the host, which delivers as it closes
    std::unique_ptr<bbs::Host> host_;
    std::vector<std::string> breaches_;
};

}  // namespace hosttest
