#include "cli/pool.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/interrupt.h"

namespace cellvault::cli {

void on_threads(size_t threads, const std::function<void()>& loop) {
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) {
    try {
      pool.emplace_back(loop);
    } catch (const std::system_error&) {
      break;  // fewer threads than asked for still do all the work
    }
  }
  loop();
  for (std::thread& thread : pool) thread.join();
}

void for_each_file(size_t count, unsigned threads, const std::function<void(size_t)>& work) {
  std::atomic<size_t> next{0};
  auto loop = [&] {
    for (;;) {
      if (StopOnSignal::requested() != 0) return;
      const size_t i = next.fetch_add(1);
      if (i >= count) return;
      work(i);
    }
  };
  on_threads(std::min<size_t>(threads, count), loop);
}

}  // namespace cellvault::cli
