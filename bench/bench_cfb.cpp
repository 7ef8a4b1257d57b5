// bench_cfb: writes one stream of 1 MiB, 64 MiB and 512 MiB into a compound
// file (versions 4 and 3) and compares the time with writing the same bytes
// to a plain file in 8 MiB write() calls, measured side by side in one run.
//
//   bench_cfb [DIR] [--quick]
//
// Prints, per version and size, the median time of both and their ratio
// (target: at most 1.3 at every size; a ratio that grows with the size
// means the writer is not linear), the writer's write system calls per
// MiB, and the peak heap memory that the writer used beyond the stream's
// own bytes (counted by replacing operator new). Files go to DIR (default
// $TMPDIR or /tmp) and are removed.

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "cfb/compound_file.h"
#include "write_counter.h"

namespace {

std::atomic<size_t> g_heap{0};
std::atomic<size_t> g_peak{0};

void note_alloc(void* p) {
  if (!p) return;
  const size_t now = g_heap += malloc_usable_size(p);
  size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
}

}  // namespace

void* operator new(size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  note_alloc(p);
  return p;
}
void operator delete(void* p) noexcept {
  if (p) g_heap -= malloc_usable_size(p);
  std::free(p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void* operator new[](size_t n) { return operator new(n); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMiB = 1024 * 1024;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double write_plain(const std::string& path, const uint8_t* data, size_t size) {
  const auto t0 = Clock::now();
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < size;) {
    const size_t n = std::min(size - done, 8 * kMiB);
    const ssize_t w = ::write(fd, data + done, n);
    if (w <= 0) std::abort();
    done += static_cast<size_t>(w);
  }
  ::close(fd);
  const double t = seconds_since(t0);
  ::unlink(path.c_str());
  return t;
}

struct CfbRun {
  double seconds;
  uint64_t write_calls;
  size_t peak_extra;
};

CfbRun write_cfb(const std::string& path, const uint8_t* data, size_t size,
                 cellvault::cfb::Version version) {
  const size_t heap0 = g_heap.load();
  g_peak = heap0;
  const auto t0 = Clock::now();
  auto file = cellvault::File::create(path);
  if (!file.ok()) std::abort();
  const uint64_t calls0 = cellvault::write_counter::calls();
  {
    auto cf = cellvault::cfb::create_with_file(*file, version);
    if (!cf.ok()) std::abort();
    auto stream = cf->create_stream("EncryptedPackage");
    if (!stream.ok() || !stream->write_all(cellvault::ByteView(data, size)).ok() ||
        !stream->close().ok()) {
      std::abort();
    }
  }
  const uint64_t calls = cellvault::write_counter::calls() - calls0;
  if (!file->close().ok()) std::abort();
  const double t = seconds_since(t0);
  ::unlink(path.c_str());
  return {t, calls, g_peak.load() - heap0};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp ? tmp : "/tmp";
  bool quick = false;
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--quick") {
      quick = true;
    } else {
      dir = argv[i];
    }
  }
  const std::vector<size_t> sizes = quick ? std::vector<size_t>{kMiB, 64 * kMiB}
                                          : std::vector<size_t>{kMiB, 64 * kMiB, 512 * kMiB};
  const size_t max = sizes.back();
  // The stream's own bytes, allocated before any measurement.
  uint8_t* data = static_cast<uint8_t*>(std::malloc(max));
  for (size_t i = 0; i < max; ++i) data[i] = static_cast<uint8_t>(i * 131 + i / 4099);
  const std::string plain = dir + "/bench_cfb_plain.bin";
  const std::string cfb = dir + "/bench_cfb_out.cfb";

  std::printf("%-3s %8s %10s %10s %7s %12s %12s\n", "ver", "size", "plain ms", "cfb ms", "ratio",
              "writes/MiB", "peak extra");
  for (auto version : {cellvault::cfb::Version::V4, cellvault::cfb::Version::V3}) {
    for (size_t size : sizes) {
      const int reps = size <= kMiB ? 21 : size <= 64 * kMiB ? 7 : 3;
      std::vector<double> tp, tc, ratios;
      CfbRun last{};
      size_t peak = 0;
      write_plain(plain, data, size);  // warm up
      for (int r = 0; r < reps; ++r) {
        // Alternate the order so that neither side always runs first.
        double p, c;
        if (r % 2 == 0) {
          p = write_plain(plain, data, size);
          last = write_cfb(cfb, data, size, version);
          c = last.seconds;
        } else {
          last = write_cfb(cfb, data, size, version);
          c = last.seconds;
          p = write_plain(plain, data, size);
        }
        peak = std::max(peak, last.peak_extra);
        tp.push_back(p);
        tc.push_back(c);
        ratios.push_back(c / p);
      }
      std::printf("v%-2d %6zuMiB %10.2f %10.2f %7.2f %12.2f %10.1fKiB\n",
                  static_cast<int>(version), size / kMiB, 1000 * median(tp), 1000 * median(tc),
                  median(ratios), static_cast<double>(last.write_calls) / (size / kMiB),
                  peak / 1024.0);
      std::fflush(stdout);
    }
  }
  std::free(data);
  return 0;
}
