#include "decode_cases.h"

#include <algorithm>

#include "reply/coverage.h"
#include "reply/layout.h"
#include "reply/model_groups.h"

namespace kavrol::bench {

std::vector<std::uint8_t> Filler(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> out(n);
    std::uint32_t x = seed * 2654435761U + 1U;
    for (auto& b : out) {
        x = x * 1103515245U + 12345U;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

std::vector<DecodeCase> largestLayoutPerGroup() {
    std::vector<DecodeCase> cases;
    std::vector<const reply::GroupLayouts*> seen;
    for (std::uint32_t model = 0; model <= 24; ++model) {
        const reply::GroupLayouts* group = reply::groupForModel(model);
        if (group == nullptr || std::find(seen.begin(), seen.end(), group) != seen.end()) continue;
        seen.push_back(group);
        DecodeCase best;
        DecodeCase bestFixed;
        bestFixed.fixedOnly = true;
        for (std::uint8_t code = 1; code <= 9; ++code) {
            for (std::uint8_t header3 : {std::uint8_t{0}, std::uint8_t{1}}) {
                auto frame = replyFrame(code, header3, Filler(reply::kMaxFrameIndex - 5, model * 16U + code));
                std::vector<std::uint8_t> area(reply::kReceiveAreaSize, 0);
                std::copy(frame.begin(), frame.end(), area.begin());
                bool written[reply::kReplyBufferSize];
                reply::layoutCoverage(model, area.data(), written);
                const auto n = static_cast<unsigned>(std::count(std::begin(written), std::end(written), true));
                const DecodeCase c{group->name, model, code, header3, n, false, frame};
                if (n > best.written) best = c;
                if (code != 9 && n > bestFixed.written)
                    bestFixed = DecodeCase{c.group, model, code, header3, n, true, frame};
            }
        }
        if (best.written > 0) cases.push_back(best);
        if (best.replyCode == 9 && bestFixed.written > 0) cases.push_back(bestFixed);
    }
    return cases;
}

}  // namespace kavrol::bench
