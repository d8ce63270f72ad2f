// Writing: one io_uring ring with registered buffers of random bytes, every
// wait bounded by 100 ms; blocking pwrite where io_uring can't be had. Each
// phase ends with fdatasync, and its time counts in the figure.
#include <liburing.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfwrite/write.h"

namespace vpw {

using vpu::canceled;
using vpu::kMs;
using vpu::nowNs;

uint64_t WriteTally::kbps() const {
  return end > start ? uint64_t((unsigned __int128)bytes * 1000000 / uint64_t(end - start)) : 0;
}

namespace {

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// Buffers of random bytes: no drive can compress or skip them.
std::unique_ptr<uint8_t, FreeDeleter> randomBuffers(size_t bytes) {
  std::unique_ptr<uint8_t, FreeDeleter> m(static_cast<uint8_t*>(aligned_alloc(4096, bytes)));
  if (!m) throw std::bad_alloc();
  vpu::Rng rng(vpu::freshSeed(1));
  for (size_t i = 0; i + 8 <= bytes; i += 8) {
    const uint64_t v = rng.next();
    memcpy(m.get() + i, &v, 8);
  }
  return m;
}

// Where the next write goes and what completed, shared by both writers.
struct Course {
  const WritePhase& ph;
  uint64_t size;
  int64_t warmEnd, stop;  // stop 0: once through the file
  WriteTally t;
  uint64_t cursor = 0;
  vpu::Rng rng{vpu::freshSeed(2)};
  int64_t nextTick = 0;

  Course(const WritePhase& p, uint64_t sz, int64_t t0, vpu::PhaseTime pt)
      : ph(p), size(sz / p.bs * p.bs), warmEnd(t0 + pt.warmNs), stop(pt.durNs ? t0 + pt.warmNs + pt.durNs : 0) {
    t.start = warmEnd;
    nextTick = t0;
  }
  // The next offset; false when a single pass is through.
  bool next(uint64_t& off) {
    if (ph.random) {
      off = rng.below(size / ph.bs) * ph.bs;
      return true;
    }
    if (cursor >= size) {
      if (!stop) return false;
      cursor = 0;
    }
    off = cursor;
    cursor += ph.bs;
    return true;
  }
  void done(int64_t now, int64_t issued, uint32_t len) {
    t.written += len;
    if (now < warmEnd) return;
    t.bytes += len;
    t.ios++;
    t.lat.add(uint64_t(now - issued));
    const size_t slice = size_t((now - warmEnd) / vpu::kSliceNs);
    if (t.slices.size() <= slice) t.slices.resize(slice + 1, 0);
    t.slices[slice] += len;
  }
  bool over(int64_t now, Watch& w) {
    if (now >= nextTick) {
      w.tick(now, t.written);
      nextTick = now + 100 * kMs;
      if (const char* why = w.stop()) t.stopped = why;
    }
    return canceled() || t.stopped || t.err || (stop && now >= stop);
  }
  void fail(int res, uint64_t off) {
    if (t.err) return;
    t.err = res < 0 ? -res : EIO;
    t.errOffset = off;
  }
  // The flush, counted: its end is the phase's end.
  void flush(int fd) {
    const int64_t f0 = nowNs();
    if (!canceled() && !t.err && fdatasync(fd) != 0) fail(-errno, 0);
    t.end = nowNs();
    t.flushNs = t.end - f0;
    if (t.end < t.start) t.start = t.end;  // canceled in the warm-up
  }
};

class UringWriter : public Writer {
 public:
  explicit UringWriter(int fd) : fd_(fd) {}
  ~UringWriter() override {
    if (live_) io_uring_queue_exit(&ring_);
  }
  int setup(unsigned depth, uint32_t bs) {
    io_uring_params p{};
    p.flags = IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
    int r = io_uring_queue_init_params(depth, &ring_, &p);
    if (r == -EINVAL) {
      memset(&p, 0, sizeof p);
      r = io_uring_queue_init_params(depth, &ring_, &p);
    }
    if (r < 0) return r;
    live_ = true;
    flags_ = p.flags;
    mem_ = randomBuffers(size_t(depth) * bs);
    std::vector<iovec> iov(depth);
    for (unsigned i = 0; i < depth; ++i) iov[i] = {mem_.get() + size_t(i) * bs, bs};
    fixed_ = io_uring_register_buffers(&ring_, iov.data(), depth) == 0;
    depth_ = depth;
    bs_ = bs;
    return 0;
  }
  std::string describe() const override {
    std::string s = "io_uring";
    if (flags_ & IORING_SETUP_DEFER_TASKRUN) s += ", deferred task running";
    if (fixed_) s += ", registered buffers";
    return s;
  }

  WriteTally run(const WritePhase& ph, uint64_t size, vpu::PhaseTime pt, Watch& w) override {
    if (ph.depth > depth_ || ph.bs > bs_) throw std::logic_error("phase larger than the ring");
    struct Slot {
      uint64_t off = 0;
      uint32_t done = 0;
      int64_t t = 0;
    };
    std::vector<Slot> slots(ph.depth);
    std::vector<unsigned> todo;
    Course c(ph, size, nowNs(), pt);
    bool stopping = false;
    unsigned inflight = 0;
    // Random writes, at any depth, take the shortest slice: each completion
    // frees a slot that must be refilled at once, or on a busy machine the
    // queue drains while a neighbour ends its slice. Sequential 1 MiB writes
    // complete seldom enough for the default.
    if (ph.random) vpu::askShortSlice(); else vpu::askDefaultSlice();
    for (unsigned i = 0; i < ph.depth; ++i) todo.push_back(i);
    __kernel_timespec bound{0, 100 * kMs};
    for (;;) {
      if (!stopping) {
        const int64_t ts = nowNs();
        for (unsigned i : todo) {
          Slot& s = slots[i];
          if (s.done == 0 && !c.next(s.off)) continue;
          if (s.done == 0) s.t = ts;
          io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
          uint8_t* addr = mem_.get() + size_t(i) * bs_ + s.done;
          if (fixed_)
            io_uring_prep_write_fixed(sqe, fd_, addr, ph.bs - s.done, s.off + s.done, int(i));
          else
            io_uring_prep_write(sqe, fd_, addr, ph.bs - s.done, s.off + s.done);
          sqe->user_data = i;
          ++inflight;
        }
      }
      todo.clear();
      if (inflight == 0) break;
      io_uring_cqe* cqe = nullptr;
      int r = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, &bound, nullptr);
      if (r < 0 && r != -ETIME && r != -EINTR && r != -EAGAIN && r != -EBUSY) {
        c.fail(r, 0);
        break;
      }
      const int64_t now = nowNs();
      unsigned head, n = 0;
      io_uring_for_each_cqe(&ring_, head, cqe) {
        ++n;
        --inflight;
        const unsigned i = unsigned(cqe->user_data);
        Slot& s = slots[i];
        const int res = cqe->res;
        if (res == -EAGAIN || res == -EINTR) {
          todo.push_back(i);
        } else if (res <= 0) {
          c.fail(res, s.off + s.done);
          stopping = true;
        } else if ((s.done += unsigned(res)) < ph.bs) {
          todo.push_back(i);  // short write: the rest again
        } else {
          c.done(now, s.t, ph.bs);
          s.done = 0;
          todo.push_back(i);
        }
      }
      io_uring_cq_advance(&ring_, n);
      if (c.over(now, w)) stopping = true;
    }
    c.flush(fd_);
    return std::move(c.t);
  }

 private:
  int fd_;
  io_uring ring_{};
  bool live_ = false, fixed_ = false;
  unsigned flags_ = 0, depth_ = 0;
  uint32_t bs_ = 0;
  std::unique_ptr<uint8_t, FreeDeleter> mem_;
};

// One write at a time: queue depth is not honoured, and the header says so.
class PwriteWriter : public Writer {
 public:
  explicit PwriteWriter(int fd) : fd_(fd), mem_(randomBuffers(kMiB)) {}
  std::string describe() const override { return "pwrite, one write at a time"; }
  WriteTally run(const WritePhase& ph, uint64_t size, vpu::PhaseTime pt, Watch& w) override {
    Course c(ph, size, nowNs(), pt);
    uint64_t off = 0;
    while (!c.over(nowNs(), w) && c.next(off)) {
      const int64_t t0 = nowNs();
      ssize_t r = pwrite(fd_, mem_.get(), ph.bs, off);
      if (r < 0 && errno == EINTR) continue;
      if (r != ssize_t(ph.bs)) {
        c.fail(r < 0 ? -errno : -EIO, off);
        break;
      }
      c.done(nowNs(), t0, ph.bs);
    }
    c.flush(fd_);
    return std::move(c.t);
  }

 private:
  int fd_;
  std::unique_ptr<uint8_t, FreeDeleter> mem_;
};

}  // namespace

std::unique_ptr<Writer> makeWriter(int fd, std::string& why) {
  auto u = std::make_unique<UringWriter>(fd);
  if (int r = u->setup(32, uint32_t(kMiB)); r == 0) return u;
  else why = std::string("io_uring can't be had (") + strerror(-r) + "): one write at a time";
  return std::make_unique<PwriteWriter>(fd);
}

}  // namespace vpw
