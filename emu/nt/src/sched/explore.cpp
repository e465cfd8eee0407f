// The exploration loop: one deterministic session per schedule, the strategy's replay command
// and the schedule kept for the first run that fails.
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "emu/explore.h"

namespace emu::sched {

bool ParseSchedule(const std::string& text, ExploreOptions& options) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
    if (parts.empty()) return false;
    const std::string& name = parts[0];
    if (name != "random" && name != "pct" && name != "dfs" && name != "replay") return false;
    options.strategy = name;
    try {
        size_t first = 1;
        if (name == "replay") {  // replay:<choices>[:f=<n>]
            options.choices.clear();
            std::stringstream list(parts.size() > 1 ? parts[1] : "");
            for (std::string c; std::getline(list, c, '.');)
                if (!c.empty()) options.choices.push_back(static_cast<uint32_t>(std::stoul(c)));
            options.schedules = 1;
            first = 2;
        }
        for (size_t i = first; i < parts.size(); ++i) {
            auto eq = parts[i].find('=');
            if (eq == std::string::npos) return false;
            std::string key = parts[i].substr(0, eq);
            unsigned long long value = std::stoull(parts[i].substr(eq + 1));
            if (key == "seed") {
                options.seed = value;
                options.schedules = 1;
            } else if (key == "d") {
                options.depth = static_cast<int>(value);
            } else if (key == "k") {
                (name == "dfs" ? options.preemptions : options.steps) = static_cast<int>(value);
            } else if (key == "n") {
                options.schedules = static_cast<int>(value);
            } else if (key == "f") {
                options.faultBudget = static_cast<int>(value);
            } else if (key == "o") {
                options.faultOdds = static_cast<unsigned>(value);
            } else {
                return false;
            }
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

ExploreOptions FromEnvironment(ExploreOptions options) {
    if (const char* runs = std::getenv("VCOM_SCHED_RUNS")) {
        double factor = std::atof(runs);
        if (factor > 0) options.schedules = std::max(1, static_cast<int>(options.schedules * factor));
    }
    if (const char* text = std::getenv("VCOM_SCHED")) {
        if (!ParseSchedule(text, options)) std::fprintf(stderr, "VCOM_SCHED=%s not understood; ignored\n", text);
    }
    return options;
}

namespace {
char gCurrent[160];
}

const char* CurrentSchedule() { return gCurrent; }

ExploreResult Explore(const ExploreOptions& options, const std::function<std::string()>& run) {
    return Explore(options, Schedule{{}, run, {}});
}

ExploreResult Explore(const ExploreOptions& options, const Schedule& schedule) {
    ExploreResult result;
    BoundedSearch search(options.preemptions);
    int steps = options.steps;
    bool faults = options.faults != 0 && options.faultBudget > 0;
    unsigned odds = options.faultOdds;
    // The search takes its deepest choices first, and every fault opportunity is one: drawing
    // faults from the start would spend the budget on faults late in the run. It searches
    // without faults first, for half the budget or until exhausted, then with them afresh.
    bool searchFaultsLater = faults && options.strategy == "dfs";
    int faultFree = searchFaultsLater ? std::max(options.schedules / 2, 1) : 0;
    for (int i = 0; i < options.schedules; ++i) {
        bool drawing = faults && !(searchFaultsLater && i < faultFree);
        std::unique_ptr<Strategy> owned;
        Strategy* strategy = &search;
        uint64_t seed = options.seed + static_cast<uint64_t>(i);
        unsigned faultOdds = odds > 0 ? odds : 16;
        if (options.strategy == "random") owned = RandomWalk(seed, faultOdds);
        else if (options.strategy == "pct") owned = Pct(seed, options.depth, steps > 0 ? steps : 100, faultOdds);
        else if (options.strategy == "replay") owned = Replay(options.choices);
        if (owned) strategy = owned.get();
        // Seeds name their schedule before it runs; a search is replayed by running it again.
        // The odds of a seeded strategy's faults are part of its schedule.
        std::string oddsPart = faults && owned && options.strategy != "replay" ? ":o=" + std::to_string(faultOdds) : "";
        std::string now = strategy->Replay() + oddsPart;
        if (options.strategy == "dfs") now = "dfs:k=" + std::to_string(options.preemptions) + ":n=" + std::to_string(i + 1);
        if (options.strategy == "replay") {
            now = "replay:";
            for (size_t c = 0; c < options.choices.size(); ++c) now += (c ? "." : "") + std::to_string(options.choices[c]);
        }
        std::snprintf(gCurrent, sizeof gCurrent, "VCOM_SCHED=%s", now.c_str());
        std::string failure, trace;
        {
            // Set-up and tear-down run in the session too, without choices: a seed then
            // replays the whole run, whatever the free-running threads did before it.
            Session session(*strategy);
            session.Choose(false);
            if (schedule.setUp) schedule.setUp();
            session.Choose(true);
            if (drawing) session.DrawFaults(options.faults, options.faultBudget);
            failure = schedule.run();
            session.Choose(false);
            result.hashes.push_back(session.Hash());
            // PCT's change points spread over the length of a run: learn it from the first.
            if (options.strategy == "pct" && steps <= 0) steps = static_cast<int>(std::max<size_t>(session.Decisions(), 1));
            // So do the faults over its opportunities: about one per schedule, where the budget allows.
            if (faults && odds == 0) odds = static_cast<unsigned>(std::max<size_t>(session.FaultOpportunities(), 2));
            if (session.FaultsDrawn() > 0) result.faulted++;
            trace = session.Trace();
            if (schedule.tearDown) {
                std::string more = schedule.tearDown();
                if (!more.empty()) failure += (failure.empty() ? "" : "\n") + more;
            }
        }
        result.schedules++;
        if (!failure.empty()) {
            result.failed = true;
            result.failure = failure;
            // A schedule of the search's fault-free part replays with faults off.
            result.replay = "VCOM_SCHED=" + strategy->Replay() + oddsPart + (faults && !drawing ? ":f=0" : "");
            result.trace = trace;
            gCurrent[0] = 0;
            return result;
        }
        bool more = options.strategy != "dfs" || search.Next();
        if (!drawing && searchFaultsLater && (!more || i + 1 == faultFree)) {
            search = BoundedSearch(options.preemptions);  // the faulted part begins
            faultFree = i + 1;
            more = true;
        }
        if (!more) {
            result.exhausted = true;
            break;
        }
    }
    gCurrent[0] = 0;
    return result;
}

}  // namespace emu::sched
