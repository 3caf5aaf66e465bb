// Internal to libbbs: the host program, the game and tests use bbs/host.h.
//
// The host's channels: whether a user is on each, his records as modules
// see them (HostUser, the live HostAccount), his keys, his scratch area
// (dclvda) and his line editor.
//
// The database is the one source of truth for an account: the table reads
// class, days and keys again when the database moved since it last read
// them, and writes back only what module calls changed (days as a
// difference, the class when changed) onto what the database holds, so
// that an admin change is never written over.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bbs/editor.h"
#include "platform/host.h"

namespace bbs {

class Accounts;
class HostLog;
struct AccountInfo;

// User states the host keeps for itself (module numbers are 0 and up).
constexpr int32_t kHostMenuState = -1;
constexpr int32_t kEditorState = -2;

class ChannelTable {
public:
    explicit ChannelTable(HostLog& log) : log_(log) {}
    ChannelTable(const ChannelTable&) = delete;
    ChannelTable& operator=(const ChannelTable&) = delete;

    // `channels` free channels whose accounts live in `accounts`.
    // REQUIRES: before any other call; `accounts` outlives the table's use.
    void open(int channels, Accounts& accounts);
    int size() const { return static_cast<int>(sessions_.size()); }
    bool exists(int channel) const { return channel >= 0 && channel < size(); }

    // ---- who is where --------------------------------------------------------
    bool online(int channel) const;
    // The records of the user at an online channel (usroff, uacoff); null
    // when the channel is free or out of range.
    HostUser* user(int channel);
    HostAccount* account(int channel);
    std::string userid(int channel) const;       // empty when free
    int find(std::string_view userid) const;     // ignoring case; -1 when not online
    bool holds_key(int channel, std::string_view key) const;  // ignoring case
    // The first free channel that `held` does not claim; -1.
    int free_channel(const std::function<bool(int channel)>& held) const;
    // usrnum, usrptr and usaptr for the channel (null pointers when free).
    void make_current(int channel);

    // ---- a channel taken and given back ----------------------------------------
    // The user takes the free channel: his account as `info` holds it, at
    // the host's menu, with a zeroed scratch area.
    void seat(int channel, const AccountInfo& info);
    // The channel is free again; nothing of its last user stays.
    void reset(int channel);

    // ---- the scratch area (dclvda, vdaoff) -------------------------------------
    void declare_scratch(uint32_t size);  // every channel gets at least `size` bytes
    char* scratch(int channel);           // null when free or none declared

    // ---- the line editor (bgnedt) -----------------------------------------------
    LineEditor* editor(int channel);  // null when he has none open
    // The user goes into the editor; he comes back where he was when it closes.
    void open_editor(int channel, std::unique_ptr<LineEditor> editor);
    // Closes his editor and puts him back; its completion routine (null
    // when it has none, or no editor was open).
    LineEditor::Done close_editor(int channel);

    // ---- the live accounts ---------------------------------------------------------
    // Every live account read again when `elsewhere` (another connection
    // committed) or the accounts changed through this process since they
    // were read.
    void refresh_if_moved(bool elsewhere);
    void refresh_all();
    // What module calls changed of the live accounts, onto the database.
    // Only the accounts handed out (account(), make_current()) since
    // forget_handed_out() are looked at: module code reaches an account
    // through uacoff or usaptr in the call that changes it.
    void write_back();
    // A top-level call ended: the accounts it was handed are not looked at again.
    void forget_handed_out();

private:
    struct Session {
        bool online = false;
        HostUser user{};
        HostAccount account{};   // the live record modules see
        HostAccount stored{};    // as the database held it when last read or written
        std::vector<std::string> keys;
        std::vector<char> scratch;  // dclvda area
        std::unique_ptr<LineEditor> editor;
        int32_t editor_state = 0;   // where the user was when the editor opened
        uint32_t editor_substate = 0;
        bool handed_out = false;    // listed in handed_out_
    };
    Session* online_session(int channel);
    const Session* online_session(int channel) const;
    // The session's account fields (class, days, keys) as the database
    // holds them now; false when it holds no such account.
    bool refresh(Session& s);
    void hand_out(Session& s);
    // The account's changes onto the database, when a call changed it.
    void write_back(Session& s);

    HostLog& log_;
    Accounts* accounts_ = nullptr;
    std::vector<Session> sessions_;
    uint32_t scratch_size_ = 0;
    uint64_t accounts_seen_ = 0;  // Accounts::generation when the live accounts were read
    std::vector<int> handed_out_;  // channels whose account module code may have changed
};

}  // namespace bbs
