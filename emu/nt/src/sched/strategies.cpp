// Strategies of the deterministic scheduler: where a strategy chooses who runs next.
#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "emu/explore.h"

namespace emu::sched {
namespace {

std::string Join(const std::vector<uint32_t>& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) out += (i ? "." : "") + std::to_string(v[i]);
    return out;
}

// Faults come from a generator of their own, so that the same seed with faults off or on
// takes the same first choices.
class FaultDraw {
public:
    FaultDraw(uint64_t seed, unsigned odds) : odds_(std::max(odds, 1u)), rng_(seed * 0x9E3779B97F4A7C15ull + 0x5eed) {}
    bool operator()() { return rng_() % odds_ == 0; }

private:
    unsigned odds_;
    std::mt19937_64 rng_;
};

class RandomWalkStrategy : public Strategy {
public:
    RandomWalkStrategy(uint64_t seed, unsigned faultOdds) : seed_(seed), rng_(seed), fault_(seed, faultOdds) {}
    size_t Choose(const std::vector<uint32_t>& enabled, int) override { return rng_() % enabled.size(); }
    bool Fail(FaultKind) override { return fault_(); }
    std::string Replay() const override { return "random:seed=" + std::to_string(seed_); }

private:
    uint64_t seed_;
    std::mt19937_64 rng_;
    FaultDraw fault_;
};

// Burckhardt, Kothari, Musuvathi, Nagarakatte: "A randomized scheduler with probabilistic
// guarantees of finding bugs" (ASPLOS 2010).
class PctStrategy : public Strategy {
public:
    PctStrategy(uint64_t seed, int depth, int steps, unsigned faultOdds)
        : seed_(seed), depth_(std::max(depth, 1)), steps_(std::max(steps, 1)), rng_(seed), fault_(seed, faultOdds) {
        std::uniform_int_distribution<int> at(1, steps_);
        while (static_cast<int>(changeAt_.size()) < std::min(depth_ - 1, steps_)) changeAt_.insert({at(rng_), 0});
        int level = depth_ - 1;  // the i-th change point lowers to d - i
        for (auto& [step, to] : changeAt_) to = level--;
    }

    size_t Choose(const std::vector<uint32_t>& enabled, int current) override {
        ++step_;
        for (uint32_t id : enabled) PriorityOf(id);
        auto change = changeAt_.find(step_);
        if (change != changeAt_.end() && current >= 0) priority_[enabled[current]] = change->second;
        size_t best = 0;
        for (size_t i = 1; i < enabled.size(); ++i)
            if (priority_[enabled[i]] > priority_[enabled[best]]) best = i;
        return best;
    }

    bool Fail(FaultKind) override { return fault_(); }

    std::string Replay() const override {
        return "pct:d=" + std::to_string(depth_) + ":k=" + std::to_string(steps_) + ":seed=" + std::to_string(seed_);
    }

private:
    // Initial priorities lie above every change point's, distinct, in random order.
    uint64_t PriorityOf(uint32_t id) {
        auto it = priority_.find(id);
        if (it != priority_.end()) return it->second;
        uint64_t p;
        do p = (uint64_t{1} << 40) + (rng_() >> 24); while (used_.count(p));
        used_.insert(p);
        return priority_[id] = p;
    }

    uint64_t seed_;
    int depth_, steps_;
    std::mt19937_64 rng_;
    std::map<int, uint64_t> changeAt_;  // step -> priority the running context drops to
    std::map<uint32_t, uint64_t> priority_;
    std::set<uint64_t> used_;
    int step_ = 0;
    FaultDraw fault_;
};

class ReplayStrategy : public Strategy {
public:
    explicit ReplayStrategy(std::vector<uint32_t> choices) : choices_(std::move(choices)) {}
    size_t Choose(const std::vector<uint32_t>& enabled, int current) override {
        size_t pick = taken_.size() < choices_.size() ? choices_[taken_.size()] : (current >= 0 ? current : 0);
        pick = std::min(pick, enabled.size() - 1);
        taken_.push_back(static_cast<uint32_t>(pick));
        return pick;
    }
    bool Fail(FaultKind) override {
        uint32_t pick = taken_.size() < choices_.size() ? std::min<uint32_t>(choices_[taken_.size()], 1) : 0;
        taken_.push_back(pick);
        return pick == 1;
    }
    std::string Replay() const override { return "replay:" + Join(taken_); }

private:
    std::vector<uint32_t> choices_, taken_;
};

}  // namespace

std::unique_ptr<Strategy> RandomWalk(uint64_t seed, unsigned faultOdds) {
    return std::make_unique<RandomWalkStrategy>(seed, faultOdds);
}
std::unique_ptr<Strategy> Pct(uint64_t seed, int depth, int steps, unsigned faultOdds) {
    return std::make_unique<PctStrategy>(seed, depth, steps, faultOdds);
}
std::unique_ptr<Strategy> Replay(std::vector<uint32_t> choices) { return std::make_unique<ReplayStrategy>(std::move(choices)); }

BoundedSearch::BoundedSearch(int preemptions) : bound_(preemptions) {}

BoundedSearch::Frame& BoundedSearch::Enter(size_t alternatives, int current, bool fault) {
    if (depth_ < frames_.size() && (frames_[depth_].order.size() != alternatives || frames_[depth_].fault != fault))
        frames_.resize(depth_);  // the run diverged from its prefix: explore from here afresh
    if (depth_ == frames_.size()) {
        Frame f;
        f.current = current;
        f.fault = fault;
        f.preemptionsBefore = preemptions_;
        size_t first = current >= 0 ? static_cast<size_t>(current) : 0;
        f.order.push_back(first);
        for (size_t i = 0; i < alternatives; ++i)
            if (i != first) f.order.push_back(i);
        frames_.push_back(std::move(f));
    }
    return frames_[depth_++];
}

size_t BoundedSearch::Choose(const std::vector<uint32_t>& enabled, int current) {
    Frame& f = Enter(enabled.size(), current, false);
    size_t pick = f.order[f.pos];
    if (current >= 0 && pick != static_cast<size_t>(current)) preemptions_++;
    return pick;
}

bool BoundedSearch::Fail(FaultKind) {
    Frame& f = Enter(2, -1, true);
    return f.order[f.pos] == 1;
}

std::string BoundedSearch::Replay() const {
    std::vector<uint32_t> taken;
    for (size_t i = 0; i < depth_ && i < frames_.size(); ++i)
        taken.push_back(static_cast<uint32_t>(frames_[i].order[frames_[i].pos]));
    return "replay:" + Join(taken);
}

bool BoundedSearch::Next() {
    frames_.resize(std::min(frames_.size(), depth_));
    depth_ = 0;
    preemptions_ = 0;
    while (!frames_.empty()) {
        Frame& f = frames_.back();
        for (size_t p = f.pos + 1; p < f.order.size(); ++p) {
            bool preempts = f.current >= 0 && f.order[p] != static_cast<size_t>(f.current);
            if (f.preemptionsBefore + (preempts ? 1 : 0) <= bound_) {
                f.pos = p;
                return true;
            }
        }
        frames_.pop_back();
    }
    return false;
}

}  // namespace emu::sched
