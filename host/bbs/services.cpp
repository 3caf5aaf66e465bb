// The C services of platform/host.h, on top of the running bbs::Host.
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bbs/accounts.h"
#include "bbs/call_runner.h"
#include "bbs/channel_table.h"
#include "bbs/host_access.h"
#include "bbs/input.h"
#include "bbs/log.h"
#include "bbs/module_runtime.h"
#include "bbs/options.h"
#include "bbs/status_queue.h"
#include "platform/host.h"
#include "text/ascii.h"

using bbs::HostAccess;

extern "C" {

int32_t nterms = 0;
char* prfbuf = nullptr;
int32_t margc = 0;
char* margv[HOST_MAXWORDS] = {};
char input[HOST_INPSIZ] = {};
int32_t usrnum = -1;
HostUser* usrptr = nullptr;
HostAccount* usaptr = nullptr;
int32_t othusn = -1;
int32_t status = 0;

}  // extern "C"

namespace {

// The catalogue of message file `mcv_name` of the library that holds `code`:
// X.MCT beside the library (bbs/messages.h); empty when there is none.
std::filesystem::path catalogue_beside(const void* code, std::string_view mcv_name) {
    Dl_info info{};
    if (dladdr(code, &info) == 0 || !info.dli_fname) return {};
    std::filesystem::path library(info.dli_fname);
    if (!library.is_absolute()) return {};  // the host left the folder it was started in
    std::filesystem::path catalogue = library.parent_path() / std::filesystem::path(mcv_name).stem();
    catalogue += ".MCT";
    std::error_code ec;
    return std::filesystem::is_regular_file(catalogue, ec) ? catalogue : std::filesystem::path();
}

// The option reader of the selected message block.
bbs::OptionReader options_of(bbs::ModuleRuntime& modules) {
    return bbs::OptionReader(modules.messages().current(), *HostAccess::log());
}

std::string format_v(const char* format, va_list args) {
    if (!format) return {};
    char buffer[1024];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    return buffer;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------------------
// Module registration and memory

int32_t register_module(ModuleDescriptor* descriptor) {
    auto* modules = HostAccess::modules();
    if (!modules || !descriptor) return -1;
    return modules->add(*descriptor);
}

// The value of the line "Module name: ..." of a module description file.
char* gmdnam(const char* mdf_name) {
    static std::string name;
    name.clear();
    std::ifstream in(mdf_name ? mdf_name : "");
    std::string line;
    bool found = false;
    while (in && std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        const std::string_view key = text::trim(std::string_view(line).substr(0, colon), text::kWhiteSpace);
        if (text::equal_ignoring_case(key, "Module name")) {
            name = text::trim(std::string_view(line).substr(colon + 1), text::kWhiteSpace);
            found = true;
            break;
        }
    }
    if (!found)
        if (auto* log = HostAccess::log())
            log->warning(std::string("gmdnam: no \"Module name:\" in ") + (mdf_name ? mdf_name : "(none)"));
    return name.data();
}

char* stzcpy(char* dst, const char* src, size_t size) {
    if (!dst || size == 0) return dst;
    size_t n = src ? strnlen(src, size - 1) : 0;
    if (n) std::memcpy(dst, src, n);
    std::memset(dst + n, 0, size - n);
    return dst;
}

void catastro(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string reason = format_v(format, args);
    va_end(args);
    if (auto* modules = HostAccess::modules()) {
        // Inside a module call this unwinds to the host's outermost call
        // into module code, running every destructor on the way.
        modules->stop(reason);
        HostAccess::log()->error("catastro outside a module call; exiting");
    } else {
        std::fprintf(stderr, "catastro: %s\n", reason.c_str());  // no host, no log
    }
    std::exit(1);
}

void globalcmd(int32_t (*handler)(void)) {
    if (auto* modules = HostAccess::modules(); modules && handler) modules->add_global_command(handler);
}

void dclvda(uint32_t size) {
    if (auto* channels = HostAccess::channels()) channels->declare_scratch(size);
}

void* vdaoff(int32_t channel) {
    auto* channels = HostAccess::channels();
    return channels ? channels->scratch(channel) : nullptr;
}

void* alczer(size_t size) {
    void* p = std::calloc(size ? size : 1, 1);
    if (!p) catastro("out of memory (%zu bytes)", size);
    return p;
}

void galfree(void* block) { std::free(block); }

// ---------------------------------------------------------------------------
// Message files, options and output

HostMsgFile* opnmsg(const char* mcv_name) {
    auto* modules = HostAccess::modules();
    if (!modules || !mcv_name) return nullptr;
    bbs::MessageCatalog& messages = modules->messages();
    HostMsgFile* block = messages.open(mcv_name, catalogue_beside(__builtin_return_address(0), mcv_name));
    if (block) messages.select(block);
    return block;
}

void setmbk(HostMsgFile* block) {
    if (auto* modules = HostAccess::modules()) modules->messages().select(block);
}

void rstmbk(void) {
    auto* modules = HostAccess::modules();
    if (!modules) return;
    if (modules->messages().depth() == 0) modules->breach("rstmbk: no setmbk to undo");
    modules->messages().restore();
}

void clsmsg(HostMsgFile* block) {
    if (auto* modules = HostAccess::modules()) modules->messages().close(block);
}

void prfmsg(int32_t number, ...) {
    auto* modules = HostAccess::modules();
    if (!modules) return;
    bbs::HostLog& log = *HostAccess::log();
    HostMsgFile* block = modules->messages().current();
    const bbs::MessageEntry* e = block ? block->table.by_number(number) : nullptr;
    if (!e) {
        log.warning("prfmsg: message " + std::to_string(number) + " is not in " +
                       (block ? block->name : std::string("the selected block (none is selected)")));
        return;
    }
    if (e->kind.is_option()) {  // checked as an option's value, not as a format
        log.warning("prfmsg: " + std::to_string(number) + " " + e->name + " of " + block->name +
                    " is an option (" + e->kind.text() + "); printed as it is");
        modules->output().append(e->text);
        return;
    }
    va_list args;
    va_start(args, number);
    modules->output().append_v(e->text.c_str(), args);
    va_end(args);
}

void prf(const char* format, ...) {
    auto* modules = HostAccess::modules();
    if (!modules) return;
    va_list args;
    va_start(args, format);
    modules->output().append_v(format, args);
    va_end(args);
}

void outprf(int32_t channel) {
    auto* modules = HostAccess::modules();
    if (!modules) return;
    HostAccess::calls()->send(channel, modules->output().take());
}

char* spr(const char* format, ...) {
    static bbs::SprRing fallback;
    auto* modules = HostAccess::modules();
    va_list args;
    va_start(args, format);
    char* out = (modules ? modules->spr() : fallback).format_v(format, args);
    va_end(args);
    return out;
}

int32_t numopt(int32_t number, int32_t floor, int32_t ceiling) {
    auto* modules = HostAccess::modules();
    if (!modules) return floor;
    return static_cast<int32_t>(options_of(*modules).number(number, floor, ceiling));
}

int32_t lngopt(int32_t number, int32_t floor, int32_t ceiling) {
    return numopt(number, floor, ceiling);
}

int32_t ynopt(int32_t number) {
    auto* modules = HostAccess::modules();
    if (!modules) return 0;
    return options_of(*modules).yes_no(number) ? 1 : 0;
}

char* stgopt(int32_t number) {
    auto* modules = HostAccess::modules();
    std::string text = modules ? options_of(*modules).text(number) : std::string();
    char* copy = static_cast<char*>(alczer(text.size() + 1));
    std::memcpy(copy, text.data(), text.size());
    return copy;
}

char* msgscan(const char* msg_name, const char* option) {
    auto* modules = HostAccess::modules();
    if (!modules || !msg_name || !option) return nullptr;
    if (!bbs::scan_message_source(msg_name, option, &modules->scan_value())) return nullptr;
    return modules->scan_value().data();
}

int32_t hasmkey(int32_t number) {
    auto* modules = HostAccess::modules();
    if (!modules) return 0;
    HostMsgFile* block = modules->messages().current();
    const bbs::MessageEntry* e = block ? block->table.by_number(number) : nullptr;
    bbs::ChannelTable& channels = *HostAccess::channels();
    if (!e || !channels.online(usrnum)) return 0;
    std::string key(text::trim(e->text, text::kWhiteSpace));
    if (key.empty()) return 0;
    return channels.holds_key(usrnum, key) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Input

void rstrin(void) { bbs::rejoin_words(margv, &margc); }

int32_t sameas(const char* a, const char* b) {
    if (!a || !b) return 0;
    return text::equal_ignoring_case(a, b) ? 1 : 0;
}

// An empty part leads every text (1).
int32_t sameto(const char* part, const char* whole) {
    if (!part || !whole) return 0;
    return text::starts_ignoring_case(whole, part) ? 1 : 0;
}

// Blanks are spaces, tabs and line breaks (the editor ends its lines with CR).
char* depad(char* text) {
    if (!text) return text;
    size_t n = std::strlen(text);
    while (n > 0 && std::strchr(" \t\r\n", text[n - 1]) != nullptr) text[--n] = '\0';
    return text;
}

// ---------------------------------------------------------------------------
// Users and channels

HostAccount* uacoff(int32_t channel) {
    auto* channels = HostAccess::channels();
    return channels ? channels->account(channel) : nullptr;
}

HostUser* usroff(int32_t channel) {
    auto* channels = HostAccess::channels();
    return channels ? channels->user(channel) : nullptr;
}

void dfsthn(void) {
    if (status == HOST_ST_OUTPUT_EMPTY && usrptr) usrptr->flags &= ~static_cast<uint32_t>(HOST_UF_INJECTED);
}

void btuinj(int32_t channel, int32_t code) {
    auto* channels = HostAccess::channels();
    if (channels && channels->online(channel)) HostAccess::statuses()->push(channel, code);
}

int32_t btuxmn(int32_t channel, const char* text) {
    auto* channels = HostAccess::channels();
    if (!channels || !text || !channels->online(channel)) return 0;
    HostAccess::calls()->send(channel, text);
    return 1;
}

// Output leaves at once here, so asking for output-empty reports queues one
// report right away (unless one is on its way already).
int32_t btuoes(int32_t channel, int32_t on) {
    auto* channels = HostAccess::channels();
    if (!channels || !channels->online(channel)) return 0;
    if (!on) return 1;
    bbs::StatusQueue& statuses = *HostAccess::statuses();
    if (!statuses.has(channel, HOST_ST_OUTPUT_EMPTY)) statuses.push(channel, HOST_ST_OUTPUT_EMPTY);
    return 1;
}

void bgnedt(int32_t size, char* buffer, int32_t reserved, const char* topic,
            int16_t (*done)(int16_t status), int32_t flags) {
    (void)reserved;
    (void)topic;
    (void)flags;
    auto* channels = HostAccess::channels();
    if (!channels) return;
    if (!channels->online(usrnum) || !buffer || size < 1) {
        HostAccess::log()->warning("bgnedt: no user or no buffer on channel " + std::to_string(usrnum));
        return;
    }
    channels->open_editor(usrnum, std::make_unique<bbs::LineEditor>(buffer, static_cast<size_t>(size), done));
    HostAccess::calls()->editor_opened(usrnum, channels->editor(usrnum)->header());
}

// ---------------------------------------------------------------------------
// Credits

int32_t otstcrd(int32_t channel, int32_t amount, int32_t real) {
    (void)real;
    const HostAccount* account = uacoff(channel);
    if (!account) return 0;
    if (amount <= 0) return 1;
    return HostAccess::accounts()->has_credits(account->userid, amount) ? 1 : 0;
}

int32_t odedcrd(int32_t channel, int32_t amount, int32_t real, int32_t flag) {
    (void)real;
    (void)flag;
    const HostAccount* account = uacoff(channel);
    if (!account || amount < 0) return 0;
    if (amount == 0) return 1;
    return HostAccess::accounts()->deduct_credits(account->userid, amount) ? 1 : 0;
}

int32_t oaddcrd(int32_t channel, int32_t amount, int32_t real) {
    (void)real;
    const HostAccount* account = uacoff(channel);
    if (!account || amount < 0) return 0;
    if (amount == 0) return 1;
    return HostAccess::accounts()->add_credits(account->userid, amount) ? 1 : 0;
}

}  // extern "C"
