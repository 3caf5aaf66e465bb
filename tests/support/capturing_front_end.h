// The front end of the in-process host in tests, fuzz programs and
// benchmarks: it keeps what the host delivers to each channel until a test
// takes it, and the channels the host asked it to close. It serves no
// terminal: `who` lists nothing and paging stays off; an editor's banner is
// output, unless it plays a front end that edits on a screen of its own.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bbs/front_end.h"

namespace testing_support {

class CapturingFrontEnd : public bbs::FrontEnd {
public:
    // Everything delivered to the channel since the last take (raw module bytes).
    std::string take_output(int channel) {
        auto it = output_.find(channel);
        return it == output_.end() ? std::string() : std::exchange(it->second, std::string());
    }
    // The channels the host asked to close, in order.
    const std::vector<int>& closed() const { return closed_; }
    // Told of every delivery as it comes (a test that follows the order); null: none.
    void on_deliver(std::function<void(int channel, std::string_view bytes)> observer) {
        observer_ = std::move(observer);
    }

    // An editor opening then shows in the output as "<editor>", in place of its banner.
    void edit_on_own_screen(bool on) { own_screen_ = on; }

    void deliver(int channel, std::string_view bytes) override {
        output_[channel].append(bytes);
        if (observer_) observer_(channel, bytes);
    }
    void editor_opened(int channel, std::string_view banner) override {
        if (own_screen_)
            deliver(channel, "<editor>");
        else
            FrontEnd::editor_opened(channel, banner);
    }
    void close(int channel) override { closed_.push_back(channel); }
    std::optional<std::vector<bbs::SessionRow>> sessions_for(int) override { return std::nullopt; }
    std::optional<bool> paging(int, std::optional<bool>) override { return std::nullopt; }

private:
    std::map<int, std::string> output_;
    std::vector<int> closed_;
    std::function<void(int, std::string_view)> observer_;
    bool own_screen_ = false;
};

}  // namespace testing_support
