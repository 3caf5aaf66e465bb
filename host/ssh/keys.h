// Host and client keys: the server's Ed25519 host key kept in a file, and
// the descriptions of a public key that hosts compare and show.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "ssh/handles.h"

namespace ssh {

// A public key as it is registered and shown: its type name ("ssh-ed25519"),
// its blob in base64 (the middle word of an authorized_keys line), and its
// SHA256 fingerprint in OpenSSH's form ("SHA256:" and unpadded base64, as
// ssh-keygen -l prints it).
struct PublicKeyText {
    std::string type;
    std::string blob_base64;
    std::string fingerprint;

    std::string line() const { return type + " " + blob_base64; }
};

// The description of any key, private or public. Throws std::runtime_error
// when libssh cannot export it.
PublicKeyText describe_public_key(ssh_key key);

// A public key as an OpenSSH line gives it ("TYPE BASE64 [COMMENT]", as in
// KEY.pub or authorized_keys without options), checked by libssh: the
// description libssh makes of it, and the comment (blanks around it
// dropped). Ed25519, ECDSA and RSA keys; throws std::invalid_argument
// saying what is wrong with the line.
struct PublicKeyLine {
    PublicKeyText key;
    std::string comment;
};
PublicKeyLine parse_public_key_line(std::string_view line);

// The server's Ed25519 host key in FOLDER/ssh_host_ed25519_key (OpenSSH's
// private key format, so ssh-keygen reads it too).
class HostKey {
public:
    static constexpr const char* kFileName = "ssh_host_ed25519_key";

    // Reads the key file, or makes a new key and writes it with mode 0600
    // (through a temporary file and a rename, so that no half-written key is
    // ever read) when there is none; a new key is read back like an old one. The folder must exist. Throws
    // std::runtime_error naming the file and what is wrong: unreadable, not
    // an Ed25519 private key, or open to group or others.
    static HostKey load_or_create(const std::filesystem::path& folder);

    const std::filesystem::path& path() const { return path_; }
    const PublicKeyText& public_key() const { return public_; }
    bool created() const { return created_; }  // made by this load
    // A copy of the private key, for an ssh_bind (which takes what it is given).
    KeyHandle copy() const;

private:
    HostKey() = default;

    std::filesystem::path path_;
    std::string text_;  // the key file as read
    KeyHandle key_;
    PublicKeyText public_;
    bool created_ = false;
};

}  // namespace ssh
