// Fallback engine where io_uring can't be had: one thread per read in
// flight, each doing blocking pread; a sequential stream's threads share one
// cursor.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfutil/engine.h"

namespace vpu {

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// Reads len bytes at off completely; short reads continue, EINTR and EAGAIN
// retry. Returns 0 or an errno.
int readFully(int fd, uint8_t* buf, uint32_t len, uint64_t off) {
  uint32_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd, buf + done, len - done, off_t(off + done));
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    done += uint32_t(n);
  }
  return 0;
}

class PreadEngine : public Engine {
 public:
  explicit PreadEngine(int fd) : fd_(fd) {}
  std::string describe() const override { return "pread thread pool (io_uring unavailable)"; }

  Tally run(const std::vector<Stream>& streams, PhaseTime pt, Progress& pg) override;
  Tally runThreads(const Stream& s, unsigned n, PhaseTime pt, Progress& pg) override {
    return run(std::vector<Stream>(n, s), pt, pg);
  }

 private:
  struct Lane {
    unsigned stream;
    Tally t;
  };
  void lane(Lane& ln, const Stream& s, std::atomic<uint64_t>& cursor, Timeline tl, unsigned seedIdx);
  int fd_;
};

void PreadEngine::lane(Lane& ln, const Stream& s, std::atomic<uint64_t>& cursor, Timeline tl,
                       unsigned seedIdx) {
  Tally& t = ln.t;
  t.start = tl.warmEnd;
  t.perStream.assign(ln.stream + 1, 0);
  std::unique_ptr<uint8_t, FreeDeleter> buf(static_cast<uint8_t*>(aligned_alloc(4096, s.bs)));
  if (!buf) {
    t.err = ENOMEM;
    return;
  }
  Rng rng(freshSeed(seedIdx));
  const uint64_t blocks = (s.end - s.begin) / s.bs;
  for (;;) {
    const int64_t ts = nowNs();
    if (ts >= tl.stop || canceled()) break;
    const uint64_t off = s.random ? s.randomOffset(rng)
                                  : s.begin + cursor.fetch_add(1, std::memory_order_relaxed) % blocks * s.bs;
    if (int e = readFully(fd_, buf.get(), s.bs, off)) {
      t.err = e;
      t.errOffset = off;
      break;
    }
    t.read += s.bs;
    t.count(nowNs(), ts, s.bs, ln.stream);
  }
}

Tally PreadEngine::run(const std::vector<Stream>& streams, PhaseTime pt, Progress& pg) {
  std::vector<Lane> lanes;
  for (unsigned s = 0; s < streams.size(); ++s)
    for (unsigned d = 0; d < streams[s].depth; ++d) lanes.push_back({s, {}});
  std::vector<std::atomic<uint64_t>> cursors(streams.size());
  runTogether(unsigned(lanes.size()), pt, pg, [&](unsigned i, const StartFn& start) {
    askShortSlice();  // one read in flight per thread
    const Timeline tl = start();
    Lane& ln = lanes[i];
    lane(ln, streams[ln.stream], cursors[ln.stream], tl, i);
  });
  Tally all;
  for (const Lane& ln : lanes) all.merge(ln.t);
  all.perStream.resize(streams.size(), 0);
  return all;
}

}  // namespace

std::unique_ptr<Engine> makePreadEngine(int fd) { return std::make_unique<PreadEngine>(fd); }

}  // namespace vpu
