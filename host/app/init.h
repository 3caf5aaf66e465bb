// `bbshost init`: a data folder for real use. The config templates are
// copied in and the classes made (Member, 365 days limit; Sysop, no limit),
// without the demo population; then the first sysop is added: class Sysop,
// the module's sysop key (SYSKEY of the folder's QRTBKPLS.MSG), no credits.
// Where the folder's message file and game settings still send approval
// and purchase mails to the templates' "Sysop", they are pointed at him.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace app::admin {

struct InitOptions {
    std::filesystem::path config_dir;   // the templates
    int channels = 64;
    // The first sysop's user-ID; asked for (a terminal) or read as the first
    // line of standard input when not given. His password always comes from
    // a hidden prompt or standard input (read_password).
    std::optional<std::string> sysop;
    bool no_sysop = false;   // only the folder (the first sysop comes later)
};

// `data_dir` may be missing, an empty folder, or a data folder without
// accounts (made with no_sysop); one that has accounts is refused (bad
// input). An exit status of admin.h.
int init(const std::filesystem::path& data_dir, const InitOptions& options);

}  // namespace app::admin
