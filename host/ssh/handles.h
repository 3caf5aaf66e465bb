// Owning handles for libssh objects: each frees its object with the libssh
// call that belongs to it, once, when it goes out of scope.
#pragma once

#include <memory>

#include <libssh/libssh.h>
#include <libssh/server.h>

namespace ssh {

namespace detail {
struct FreeBind {
    void operator()(ssh_bind bind) const { ssh_bind_free(bind); }
};
struct FreeSession {
    void operator()(ssh_session session) const { ssh_free(session); }
};
struct FreeKey {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
struct FreeEvent {
    void operator()(ssh_event event) const { ssh_event_free(event); }
};
struct FreeMessage {
    void operator()(ssh_message message) const { ssh_message_free(message); }
};
struct FreeChannel {
    void operator()(ssh_channel channel) const { ssh_channel_free(channel); }
};
struct FreeText {
    void operator()(char* text) const { ssh_string_free_char(text); }
};
struct FreeHash {
    void operator()(unsigned char* hash) const { ssh_clean_pubkey_hash(&hash); }
};
}  // namespace detail

using BindHandle = std::unique_ptr<ssh_bind_struct, detail::FreeBind>;
using SessionHandle = std::unique_ptr<ssh_session_struct, detail::FreeSession>;
using KeyHandle = std::unique_ptr<ssh_key_struct, detail::FreeKey>;
using EventHandle = std::unique_ptr<ssh_event_struct, detail::FreeEvent>;
using MessageHandle = std::unique_ptr<ssh_message_struct, detail::FreeMessage>;
using ChannelHandle = std::unique_ptr<ssh_channel_struct, detail::FreeChannel>;
// A string libssh allocated (base64 keys, fingerprints).
using TextHandle = std::unique_ptr<char, detail::FreeText>;
using HashHandle = std::unique_ptr<unsigned char, detail::FreeHash>;

}  // namespace ssh
