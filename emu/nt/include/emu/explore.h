// Deterministic schedules and systematic exploration of interleavings.
//
// In a deterministic session one execution context of the emulation runs at a time. At each
// synchronization point (emu::sched::Point) and whenever the running context blocks, the
// session's strategy picks the next context among those that can run; virtual time moves only
// when none can. A run is then a function of the test and the strategy's seed: the same seed
// gives the same schedule, which Hash() identifies.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace emu::sched {

// Faults a schedule may draw as decisions of its own: a pool or IRP allocation of a driver that
// is not atomic failing, and the device model's unkind turns where its knob is off (a transfer
// failing after moving part of its bytes, a completion inline in the caller, a completion at
// PASSIVE_LEVEL, an unplug).
enum class FaultKind : unsigned { Pool, Irp, DevicePartial, DeviceInline, DevicePassive, DeviceUnplug, Count };
constexpr uint32_t FaultBit(FaultKind k) { return 1u << static_cast<unsigned>(k); }
constexpr uint32_t kAllocationFaults = FaultBit(FaultKind::Pool) | FaultBit(FaultKind::Irp);
constexpr uint32_t kDeviceFaults = FaultBit(FaultKind::DevicePartial) | FaultBit(FaultKind::DeviceInline) |
                                   FaultBit(FaultKind::DevicePassive) | FaultBit(FaultKind::DeviceUnplug);
const char* FaultName(FaultKind kind);

// True when the running schedule draws a fault of `kind` here: the session allows the kind, its
// budget is not spent, it is choosing, and its strategy says so. Always false free-running.
bool DrawFault(FaultKind kind);
// Faults drawn so far by the running session (else by the one that ended last).
size_t FaultsDrawn();

// Timers armed inside [base, base + size) (or armed to queue a DPC inside it) and DPCs queued
// inside it, one description each: what an object that has stopped must not have left behind.
std::vector<std::string> ArmedIn(const void* base, size_t size);

// Chooses who runs next. `enabled` holds the contexts that can run, by their order of
// appearance in the session (a stable name across runs); `current` is the index in it of the
// context that reached the point, or -1 when that context blocked.
class Strategy {
public:
    virtual ~Strategy() = default;
    virtual size_t Choose(const std::vector<uint32_t>& enabled, int current) = 0;
    // Whether a fault of `kind` happens at this opportunity (asked only while the budget allows).
    virtual bool Fail(FaultKind kind) = 0;
    // The VCOM_SCHED value that replays the run this strategy just made.
    virtual std::string Replay() const = 0;
};

// Uniformly random among the enabled contexts. Both seeded strategies draw a fault at an
// opportunity with probability 1/faultOdds, from a generator of their own.
std::unique_ptr<Strategy> RandomWalk(uint64_t seed, unsigned faultOdds = 16);
// Probabilistic concurrency testing: random distinct priorities, the highest enabled runs, and
// at depth-1 random steps out of `steps` the running context drops below all others. A fault
// needing `depth` ordering constraints is found with probability at least 1/(n * steps^(depth-1)).
std::unique_ptr<Strategy> Pct(uint64_t seed, int depth, int steps, unsigned faultOdds = 16);
// Follows the recorded choices (indices into the enabled sets; 0 or 1 at a fault opportunity),
// then runs without preemption or fault.
std::unique_ptr<Strategy> Replay(std::vector<uint32_t> choices);

// Depth-first search of every schedule with at most `preemptions` preemptions (a switch away
// from a context that could have gone on). One object serves every run of the search.
class BoundedSearch : public Strategy {
public:
    explicit BoundedSearch(int preemptions);
    size_t Choose(const std::vector<uint32_t>& enabled, int current) override;
    bool Fail(FaultKind kind) override;  // both ways, no fault first; not a preemption
    std::string Replay() const override;
    // Prepares the next schedule; false once every schedule within the bound has been run.
    bool Next();

private:
    struct Frame {
        std::vector<size_t> order;  // alternatives: the non-preemptive one first
        size_t pos = 0;
        int preemptionsBefore = 0;
        int current = -1;
        bool fault = false;  // a fault opportunity: order {no, yes}
    };
    Frame& Enter(size_t alternatives, int current, bool fault);
    int bound_;
    std::vector<Frame> frames_;
    size_t depth_ = 0;  // decisions taken in this run
    int preemptions_ = 0;
};

// While alive, the calling thread and every context of the emulation run deterministically.
// Start it at quiescence, from the test's thread; the test's thread is one of the contexts.
class Session {
public:
    explicit Session(Strategy& strategy);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    // Off: no decisions, the running context goes on while it can (a test's set-up, whose
    // interleavings are not the subject). On by default.
    void Choose(bool on);
    // The faults its strategy may draw while choosing (FaultBit of each kind) and how many at most.
    void DrawFaults(uint32_t kinds, int budget);
    size_t FaultOpportunities() const;  // so far: times DrawFault asked the strategy
    size_t FaultsDrawn() const;
    uint64_t Hash() const;         // of every decision and every timer firing, in order
    size_t Decisions() const;      // decisions with more than one context to choose from
    // The context that ran after each decision with a choice, one name a line (the last `max`).
    std::string Trace(size_t max = 200) const;
    // The same, of the session that ended last.
    static std::string LastTrace(size_t max = 200);
};

struct ExploreOptions {
    std::string strategy = "pct";  // random, pct, dfs, or replay
    int schedules = 100;           // at most this many runs
    uint64_t seed = 1;             // run i uses seed + i
    int depth = 3;                 // pct
    int steps = 0;                 // pct: 0 estimates it from the first run
    int preemptions = 2;           // dfs
    uint32_t faults = 0;           // kinds the strategy may draw (FaultBit), none by default
    int faultBudget = 1;           // at most this many per schedule (VCOM_SCHED ...:f=<n>; 0: none)
    unsigned faultOdds = 0;        // random, pct: 1 in this many; 0 learns it from the first run
    std::vector<uint32_t> choices;  // replay
};

struct ExploreResult {
    int schedules = 0;
    bool exhausted = false;  // dfs: every schedule within the bound was run
    bool failed = false;
    std::string failure;     // what the failing run reported
    std::string replay;      // e.g. VCOM_SCHED=pct:d=3:k=120:seed=17
    std::string trace;       // the failing schedule
    std::vector<uint64_t> hashes;
    int faulted = 0;         // schedules that drew at least one fault
};

// One schedule's work. Each part returns an empty string when its invariants held, else what broke.
struct Schedule {
    std::function<void()> setUp;             // before the strategy chooses; ends quiescent
    std::function<std::string()> run;        // the strategy chooses
    std::function<std::string()> tearDown;   // after it, again without choices
};

// Runs the schedule once per strategy's choice, each run in a session of its own, until one
// fails or the budget is spent.
ExploreResult Explore(const ExploreOptions& options, const Schedule& schedule);
ExploreResult Explore(const ExploreOptions& options, const std::function<std::string()>& run);

// The VCOM_SCHED value of the schedule running now (for a crash report), or "".
const char* CurrentSchedule();

// Applies VCOM_SCHED (e.g. "pct:d=3:k=200:seed=12", "random:seed=5", "dfs:k=2",
// "replay:0.1.1.0") and VCOM_SCHED_RUNS (a factor on the number of schedules) to `options`.
// A seed given in VCOM_SCHED replays that single schedule.
ExploreOptions FromEnvironment(ExploreOptions options);
// Parses one VCOM_SCHED value into `options`; false if malformed.
bool ParseSchedule(const std::string& text, ExploreOptions& options);

}  // namespace emu::sched
