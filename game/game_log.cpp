#include "game/game_log.h"

#include <fstream>
#include <iterator>

namespace game {

bool GameLog::append(std::string_view text) const {
    std::ofstream out(file_, std::ios::binary | std::ios::app);
    if (!out) return false;
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    return static_cast<bool>(out);
}

std::string GameLog::read() const {
    std::ifstream in(file_, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace game
