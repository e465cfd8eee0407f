// Start and end hooks that the test harness runs around every test.
#include "emu/testing.h"

#include <mutex>
#include <utility>
#include <vector>

namespace emu::testing {
namespace {
struct Hooks {
    std::mutex m;
    std::vector<std::pair<std::string, std::function<void()>>> start, end;
};
Hooks& H() {
    static Hooks* h = new Hooks;
    return *h;
}
template <class List>
void RunAll(List& list) {
    std::vector<std::pair<std::string, std::function<void()>>> copy;
    {
        std::lock_guard<std::mutex> g(H().m);
        copy = list;
    }
    for (auto& [name, fn] : copy) fn();
}
}  // namespace

void AddEndOfTestCheck(std::string name, std::function<void()> check) {
    std::lock_guard<std::mutex> g(H().m);
    H().end.emplace_back(std::move(name), std::move(check));
}
void AddStartOfTestHook(std::string name, std::function<void()> hook) {
    std::lock_guard<std::mutex> g(H().m);
    H().start.emplace_back(std::move(name), std::move(hook));
}
void RunStartOfTestHooks() { RunAll(H().start); }
void RunEndOfTestChecks() { RunAll(H().end); }

}  // namespace emu::testing
