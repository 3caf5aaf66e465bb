// bbshost fingerprint: the SSH host key's fingerprint, for users to check
// on their first logon.
#include <iostream>
#include <system_error>

#include "app/admin/admin.h"
#include "ssh/keys.h"

namespace app::admin {

namespace {

namespace fs = std::filesystem;

// The key is made only by a host that serves SSH, never here.
int fingerprint(const Call& call) {
    const fs::path& data = call.folder().data;
    std::error_code ec;
    const fs::path key_file = data / ssh::HostKey::kFileName;
    if (!fs::exists(key_file, ec)) {
        std::cerr << "bbshost: no SSH host key yet (" << key_file.string()
                  << "); bbshost makes it when it first serves with --ssh-port" << std::endl;
        return kFailure;
    }
    try {
        const auto key = ssh::HostKey::load_or_create(data);
        std::cout << key.public_key().type << " " << key.public_key().fingerprint << std::endl;
    } catch (const std::exception& e) {
        return failed(e.what());
    }
    return kOk;
}

}  // namespace

const Noun kFingerprint{"fingerprint", "", {
    {"", "Print the SSH host key's fingerprint (SHA256, as ssh-keygen -l shows it), for users to "
         "check on their first logon",
     {}, Needs::folder, fingerprint},
}};

}  // namespace app::admin
