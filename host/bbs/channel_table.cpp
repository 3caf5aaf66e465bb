#include "bbs/channel_table.h"

#include <cstring>
#include <optional>

#include "bbs/accounts.h"
#include "bbs/log.h"
#include "text/ascii.h"

namespace bbs {

void ChannelTable::open(int channels, Accounts& accounts) {
    accounts_ = &accounts;
    sessions_.resize(static_cast<size_t>(channels));
    for (int i = 0; i < channels; ++i) sessions_[static_cast<size_t>(i)].user.channel = i;
}

ChannelTable::Session* ChannelTable::online_session(int channel) {
    if (!exists(channel)) return nullptr;
    Session& s = sessions_[static_cast<size_t>(channel)];
    return s.online ? &s : nullptr;
}

const ChannelTable::Session* ChannelTable::online_session(int channel) const {
    return const_cast<ChannelTable*>(this)->online_session(channel);
}

bool ChannelTable::online(int channel) const { return online_session(channel) != nullptr; }

HostUser* ChannelTable::user(int channel) {
    Session* s = online_session(channel);
    return s ? &s->user : nullptr;
}

HostAccount* ChannelTable::account(int channel) {
    Session* s = online_session(channel);
    if (!s) return nullptr;
    hand_out(*s);
    return &s->account;
}

void ChannelTable::hand_out(Session& s) {
    if (s.handed_out) return;
    s.handed_out = true;
    handed_out_.push_back(s.user.channel);
}

std::string ChannelTable::userid(int channel) const {
    const Session* s = online_session(channel);
    return s ? std::string(s->account.userid) : std::string();
}

int ChannelTable::find(std::string_view userid) const {
    const std::string wanted(userid);
    for (const auto& s : sessions_)
        if (s.online && sameas(s.account.userid, wanted.c_str())) return s.user.channel;
    return -1;
}

bool ChannelTable::holds_key(int channel, std::string_view key) const {
    const Session* s = online_session(channel);
    if (!s) return false;
    const std::string wanted(key);
    for (const auto& held : s->keys)
        if (sameas(held.c_str(), wanted.c_str())) return true;
    return false;
}

int ChannelTable::free_channel(const std::function<bool(int channel)>& held) const {
    for (int channel = 0; channel < size(); ++channel)
        if (!sessions_[static_cast<size_t>(channel)].online && !held(channel)) return channel;
    return -1;
}

void ChannelTable::make_current(int channel) {
    Session* s = online_session(channel);
    if (s) hand_out(*s);
    ::usrnum = channel;
    ::usrptr = s ? &s->user : nullptr;
    ::usaptr = s ? &s->account : nullptr;
}

void ChannelTable::seat(int channel, const AccountInfo& info) {
    reset(channel);
    Session& s = sessions_[static_cast<size_t>(channel)];
    s.online = true;
    stzcpy(s.account.userid, info.userid.c_str(), sizeof s.account.userid);
    stzcpy(s.account.class_name, info.class_name.c_str(), sizeof s.account.class_name);
    s.account.days = info.days;
    s.stored = s.account;
    s.keys = info.keys;
    s.scratch.assign(scratch_size_, '\0');
}

void ChannelTable::reset(int channel) {
    if (!exists(channel)) return;
    Session& s = sessions_[static_cast<size_t>(channel)];
    s = Session{};
    s.user = HostUser{0, kHostMenuState, 0, channel};
}

void ChannelTable::declare_scratch(uint32_t size) {
    if (size <= scratch_size_) return;
    scratch_size_ = size;
    for (auto& s : sessions_)
        if (s.online) s.scratch.resize(size, '\0');
}

char* ChannelTable::scratch(int channel) {
    Session* s = online_session(channel);
    if (!s || scratch_size_ == 0) return nullptr;
    if (s->scratch.size() < scratch_size_) s->scratch.resize(scratch_size_, '\0');
    return s->scratch.data();
}

LineEditor* ChannelTable::editor(int channel) {
    Session* s = online_session(channel);
    return s ? s->editor.get() : nullptr;
}

void ChannelTable::open_editor(int channel, std::unique_ptr<LineEditor> editor) {
    Session* s = online_session(channel);
    if (!s) return;
    s->editor = std::move(editor);
    if (s->user.state != kEditorState) {
        s->editor_state = s->user.state;
        s->editor_substate = s->user.substate;
    }
    s->user.state = kEditorState;
}

LineEditor::Done ChannelTable::close_editor(int channel) {
    Session* s = online_session(channel);
    if (!s || !s->editor) return nullptr;
    const LineEditor::Done done = s->editor->done();
    s->editor.reset();
    s->user.state = s->editor_state;
    s->user.substate = s->editor_substate;
    return done;
}

bool ChannelTable::refresh(Session& s) {
    if (!accounts_) return false;
    auto info = accounts_->find(s.account.userid);
    if (!info) return false;
    s.account.days = info->days;
    stzcpy(s.account.class_name, info->class_name.c_str(), sizeof s.account.class_name);
    s.keys = std::move(info->keys);
    s.stored = s.account;
    return true;
}

void ChannelTable::refresh_if_moved(bool elsewhere) {
    if (!accounts_ || (!elsewhere && accounts_->generation() == accounts_seen_)) return;
    accounts_seen_ = accounts_->generation();
    refresh_all();
}

void ChannelTable::refresh_all() {
    for (auto& s : sessions_)
        if (s.online) refresh(s);
}

void ChannelTable::write_back() {
    if (!accounts_) return;
    for (const int channel : handed_out_)
        if (Session* s = online_session(channel)) write_back(*s);
    // usaptr as a call left it (CallContext puts back what an outer call had).
    if (Session* s = online_session(::usrnum); s && &s->account == ::usaptr && !s->handed_out) write_back(*s);
}

void ChannelTable::forget_handed_out() {
    for (const int channel : handed_out_)
        if (exists(channel)) sessions_[static_cast<size_t>(channel)].handed_out = false;
    handed_out_.clear();
}

void ChannelTable::write_back(Session& s) {
    const bool class_changed = std::memcmp(s.account.class_name, s.stored.class_name, HOST_CLSSIZ) != 0;
    if (s.account.days == s.stored.days && !class_changed) return;
    // Only what the call changed goes back, onto what the database
    // holds: a change another process made to the other fields stays.
    const int32_t delta = static_cast<int32_t>(s.account.days) - static_cast<int32_t>(s.stored.days);
    std::optional<std::string> class_name;
    if (class_changed) class_name.emplace(text::field(s.account.class_name, HOST_CLSSIZ - 1));
    std::string error;
    if (!accounts_->adjust(s.account.userid, delta, class_name, &error))
        log_.error("cannot write back the account of " + std::string(s.account.userid) + ": " + error);
    refresh(s);
}

}  // namespace bbs
