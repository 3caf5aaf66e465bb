#include "ssh/keys.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/ascii.h"

namespace ssh {

namespace {

// Bigger than any Ed25519 key file; a bigger file is not one.
constexpr off_t kMaxKeyFile = 16 * 1024;

std::runtime_error key_error(const std::filesystem::path& path, const std::string& what) {
    return std::runtime_error("ssh host key " + path.string() + ": " + what);
}

std::string errno_text() { return std::strerror(errno); }

std::string read_key_file(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw key_error(path, "cannot open: " + errno_text());
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const std::string why = errno_text();
        ::close(fd);
        throw key_error(path, "cannot stat: " + why);
    }
    auto fail = [&](const std::string& what) {
        ::close(fd);
        return key_error(path, what);
    };
    if (!S_ISREG(st.st_mode)) throw fail("is not a regular file");
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw fail(std::string("is open to group or others (mode ") + mode +
                   "); the key may have been read, make it owner-only (chmod 600) or remove it");
    }
    if (st.st_size > kMaxKeyFile) throw fail("is too big to be a key");
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw fail("cannot read: " + (n < 0 ? errno_text() : std::string("file shrank")));
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    return text;
}

// Writes KEY to PATH, owner-only, all or nothing. libssh writes the file
// itself (its base64 export reads one byte past its buffer, which the
// sanitizer build rejects); it is made here first with mode 0600, so that
// libssh only truncates and fills it.
void write_key_file(const std::filesystem::path& path, ssh_key key) {
    const std::filesystem::path temporary = path.string() + ".new";
    ::unlink(temporary.c_str());  // left by a start that died halfway
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw key_error(temporary, "cannot create: " + errno_text());
    // The mode given to open() passes through the umask, which can only
    // take bits away; set it exactly all the same.
    const bool secured = ::fchmod(fd, 0600) == 0;
    ::close(fd);
    auto fail = [&](const std::string& what) {
        ::unlink(temporary.c_str());
        return key_error(temporary, what);
    };
    if (!secured) throw fail("cannot make it owner-only: " + errno_text());
    if (ssh_pki_export_privkey_file(key, nullptr, nullptr, nullptr, temporary.c_str()) != SSH_OK)
        throw fail("libssh could not write the new key");
    fd = ::open(temporary.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0) ::close(fd);
    if (!synced) throw fail("cannot sync: " + errno_text());
    if (::rename(temporary.c_str(), path.c_str()) != 0) throw fail("cannot rename into place: " + errno_text());
}

KeyHandle import_private_key(const std::filesystem::path& path, const std::string& text) {
    ssh_key key = nullptr;
    if (ssh_pki_import_privkey_base64(text.c_str(), nullptr, nullptr, nullptr, &key) != SSH_OK)
        throw key_error(path, "is not a private key in a format libssh reads");
    return KeyHandle(key);
}

}  // namespace

PublicKeyText describe_public_key(ssh_key key) {
    PublicKeyText text;
    text.type = ssh_key_type_to_char(ssh_key_type(key)) ? ssh_key_type_to_char(ssh_key_type(key)) : "";
    char* blob = nullptr;
    if (ssh_pki_export_pubkey_base64(key, &blob) != SSH_OK || blob == nullptr)
        throw std::runtime_error("cannot export a public key of type " + text.type);
    text.blob_base64 = TextHandle(blob).get();
    unsigned char* raw = nullptr;
    size_t length = 0;
    if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &raw, &length) != 0 || raw == nullptr)
        throw std::runtime_error("cannot hash a public key of type " + text.type);
    HashHandle hash(raw);
    TextHandle fingerprint(ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash.get(), length));
    if (!fingerprint) throw std::runtime_error("cannot format the fingerprint of a " + text.type + " key");
    text.fingerprint = fingerprint.get();
    return text;
}

PublicKeyLine parse_public_key_line(std::string_view line) {
    auto word = [&line]() {
        line = text::trim_front(line);
        std::size_t end = 0;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
        const std::string_view taken = line.substr(0, end);
        line.remove_prefix(end);
        return std::string(taken);
    };
    line = text::trim_back(line, " \r\n");
    const std::string type = word();
    const std::string blob = word();
    if (type.empty() || blob.empty())
        throw std::invalid_argument("not a public key line (TYPE BASE64 [COMMENT], as in a .pub file)");
    const enum ssh_keytypes_e wanted = ssh_key_type_from_name(type.c_str());
    if (wanted != SSH_KEYTYPE_ED25519 && wanted != SSH_KEYTYPE_RSA && wanted != SSH_KEYTYPE_ECDSA_P256 &&
        wanted != SSH_KEYTYPE_ECDSA_P384 && wanted != SSH_KEYTYPE_ECDSA_P521)
        throw std::invalid_argument("key type \"" + type.substr(0, 64) +
                                    "\" is not one of ssh-ed25519, ecdsa-sha2-nistp256/384/521, ssh-rsa "
                                    "(authorized_keys options are not read)");
    ssh_key raw = nullptr;
    if (ssh_pki_import_pubkey_base64(blob.c_str(), wanted, &raw) != SSH_OK || raw == nullptr)
        throw std::invalid_argument("the " + type + " key's base64 is not a key libssh reads");
    const KeyHandle key(raw);
    PublicKeyLine parsed;
    parsed.key = describe_public_key(key.get());
    if (parsed.key.type != type)
        throw std::invalid_argument("the key is a " + parsed.key.type + " key, not " + type);
    parsed.comment = std::string(text::trim_front(line));
    return parsed;
}

HostKey HostKey::load_or_create(const std::filesystem::path& folder) {
    HostKey host;
    host.path_ = folder / kFileName;
    std::error_code ec;
    if (!std::filesystem::is_directory(folder, ec))
        throw key_error(host.path_, "the folder " + folder.string() + " does not exist");
    if (!std::filesystem::exists(std::filesystem::symlink_status(host.path_, ec))) {
        ssh_key made = nullptr;
        if (ssh_pki_generate(SSH_KEYTYPE_ED25519, 0, &made) != SSH_OK)
            throw key_error(host.path_, "libssh could not make an Ed25519 key");
        const KeyHandle new_key(made);
        write_key_file(host.path_, new_key.get());
        host.created_ = true;
    }
    // A new key too is read back: what is used is what a restart will read.
    host.text_ = read_key_file(host.path_);
    host.key_ = import_private_key(host.path_, host.text_);
    if (ssh_key_type(host.key_.get()) != SSH_KEYTYPE_ED25519)
        throw key_error(host.path_, std::string("holds a ") + ssh_key_type_to_char(ssh_key_type(host.key_.get())) +
                                        " key, not an Ed25519 one");
    host.public_ = describe_public_key(host.key_.get());
    return host;
}

KeyHandle HostKey::copy() const { return import_private_key(path_, text_); }

}  // namespace ssh
