// io_uring engine: one ring per worker, registered buffers and file, one
// submit-and-wait per batch, the whole batch reaped at once.
#include <liburing.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfutil/engine.h"

namespace vpu {

namespace {

constexpr unsigned kSetupSets[] = {
    IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN,
    IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN,
    IORING_SETUP_COOP_TASKRUN,
    0,
};

#ifndef IORING_TIMEOUT_MULTISHOT
#define IORING_TIMEOUT_MULTISHOT (1U << 6)  // kernel 6.4; liburing 2.3 lacks the name
#endif

// user_data of the standing timer and of its removal; reads carry slot numbers.
constexpr uint64_t kTick = ~uint64_t(0), kTickRemove = kTick - 1;

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};

// One ring with its buffers; the destructor tears the ring down.
class Ring {
 public:
  Ring() = default;
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() {
    if (live_) io_uring_queue_exit(&ring_);
  }

  // Creates the ring (disabled when another thread will drive it under a
  // single issuer), allocates count buffers of bs bytes and registers them
  // and the file. Returns 0 or a negative errno.
  int setup(int fd, unsigned count, uint32_t bs, bool otherThread);
  // In the driving thread, before its first submission.
  int enable();
  bool fixedBufs() const { return fixedBufs_; }
  void unregisterRingFd() {
    if (ringFd_) io_uring_unregister_ring_fd(&ring_);
    ringFd_ = false;
  }
  Tally drive(const std::vector<Stream>& ss, Timeline tl, Progress* pg, Rng& rng);
  std::string describe() const;

 private:
  struct Slot {
    uint64_t off = 0;
    uint32_t len = 0, done = 0;
    int64_t t = 0;
    uint16_t stream = 0;
    bool fresh = true;
  };
  struct Drive;
  void prep(const Slot& sl, unsigned idx);
  void armTick();
  void sawTick(const io_uring_cqe& c);
  void disarmTick();

  io_uring ring_{};
  bool live_ = false, disabled_ = false, fixedBufs_ = false, fixedFile_ = false, ringFd_ = false;
  unsigned flags_ = 0;
  int fd_ = -1;
  // The standing timer: armed, seen firing, refused by the kernel.
  bool tickOn_ = false, tickWorks_ = false, tickRefused_ = false;
  __kernel_timespec tickEvery_{0, 100 * kMs};
  std::unique_ptr<uint8_t, FreeDeleter> mem_;
  std::vector<uint8_t*> bufs_;
};

int Ring::setup(int fd, unsigned count, uint32_t bs, bool otherThread) {
  fd_ = fd;
  int ret = -ENOSYS;
  for (unsigned set : kSetupSets) {
    io_uring_params p;
    memset(&p, 0, sizeof p);
    p.flags = set;
    if (otherThread && (set & IORING_SETUP_SINGLE_ISSUER)) p.flags |= IORING_SETUP_R_DISABLED;
    ret = io_uring_queue_init_params(count, &ring_, &p);
    if (ret == 0) {
      flags_ = p.flags;
      break;
    }
    if (ret != -EINVAL) return ret;  // no io_uring at all (ENOSYS, EPERM, ...)
  }
  if (ret != 0) return ret;
  live_ = true;
  disabled_ = (flags_ & IORING_SETUP_R_DISABLED) != 0;
  mem_.reset(static_cast<uint8_t*>(aligned_alloc(4096, size_t(count) * bs)));
  if (!mem_) return -ENOMEM;
  memset(mem_.get(), 0, size_t(count) * bs);
  std::vector<iovec> iov(count);
  for (unsigned i = 0; i < count; ++i) {
    bufs_.push_back(mem_.get() + size_t(i) * bs);
    iov[i] = {bufs_[i], bs};
  }
  fixedBufs_ = io_uring_register_buffers(&ring_, iov.data(), count) == 0;
  fixedFile_ = io_uring_register_files(&ring_, &fd, 1) == 0;
  if (!otherThread) return enable();
  return 0;
}

int Ring::enable() {
  if (disabled_) {
    // io_uring_enable_rings is not exported by every liburing build.
    if (syscall(__NR_io_uring_register, ring_.ring_fd, IORING_REGISTER_ENABLE_RINGS, nullptr, 0) < 0)
      return -errno;
    disabled_ = false;
  }
  ringFd_ = io_uring_register_ring_fd(&ring_) == 1;
  return 0;
}

std::string Ring::describe() const {
  std::string s = "io_uring";
  if (flags_ & IORING_SETUP_SINGLE_ISSUER) s += ", single issuer";
  if (flags_ & IORING_SETUP_DEFER_TASKRUN) s += ", deferred task running";
  if (flags_ & IORING_SETUP_COOP_TASKRUN) s += ", cooperative task running";
  if (fixedBufs_) s += ", registered buffers";
  if (fixedFile_) s += ", registered file";
  if (ringFd_) s += ", registered ring";
  return s;
}

void Ring::prep(const Slot& sl, unsigned idx) {
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);  // the ring holds every slot
  uint8_t* addr = bufs_[idx] + sl.done;
  const int fd = fixedFile_ ? 0 : fd_;
  const unsigned len = sl.len - sl.done;
  if (fixedBufs_)
    io_uring_prep_read_fixed(sqe, fd, addr, len, sl.off + sl.done, int(idx));
  else
    io_uring_prep_read(sqe, fd, addr, len, sl.off + sl.done);
  if (fixedFile_) sqe->flags |= IOSQE_FIXED_FILE;
  sqe->user_data = idx;
}

// Every wait is bounded by 100 ms. A timeout per wait arms and cancels a
// kernel timer on every read; instead one multishot timeout completes every
// 100 ms while a drive runs, and waits pass no timeout of their own once it has
// fired. Where the kernel refuses it, each wait carries its own timeout.
void Ring::armTick() {
  if (tickOn_ || tickRefused_) return;
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);  // the queue is empty between drives
  if (!sqe) return;
  io_uring_prep_timeout(sqe, &tickEvery_, 0, IORING_TIMEOUT_MULTISHOT);
  sqe->user_data = kTick;
  tickOn_ = io_uring_submit(&ring_) == 1;
}

void Ring::sawTick(const io_uring_cqe& c) {
  if (c.flags & IORING_CQE_F_MORE) {
    tickWorks_ = true;
    return;
  }
  tickOn_ = tickWorks_ = false;  // the timer ended: removed, or refused
  if (c.res == -EINVAL) tickRefused_ = true;
}

// Removes the timer and reaps its last completion, within about a second.
void Ring::disarmTick() {
  if (!tickOn_) return;
  io_uring_sqe* sqe = io_uring_get_sqe(&ring_);
  if (!sqe) return;
  io_uring_prep_timeout_remove(sqe, kTick, 0);
  sqe->user_data = kTickRemove;
  __kernel_timespec bound{0, 100 * kMs};
  bool removed = false;
  for (int i = 0; i < 10 && (tickOn_ || !removed); ++i) {
    io_uring_cqe* cqe = nullptr;
    int r = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, &bound, nullptr);
    if (r < 0 && r != -ETIME && r != -EINTR) break;
    unsigned head, n = 0;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      ++n;
      if (cqe->user_data == kTick) sawTick(*cqe);
      if (cqe->user_data == kTickRemove) removed = true;
    }
    io_uring_cq_advance(&ring_, n);
  }
}

// The state of one drive: a slot per read in flight, each with its own
// buffer; slots in todo are (re)submitted on the next pass.
struct Ring::Drive {
  const std::vector<Stream>& ss;
  Timeline tl;
  Rng& rng;
  Tally t;
  std::vector<Slot> slots;
  std::vector<uint64_t> cursor;
  std::vector<unsigned> todo;
  unsigned inflight = 0;
  bool stopping = false;

  Drive(const std::vector<Stream>& streams, Timeline timeline, Rng& r, size_t maxSlots)
      : ss(streams), tl(timeline), rng(r) {
    t.start = tl.warmEnd;
    t.perStream.assign(ss.size(), 0);
    for (size_t s = 0; s < ss.size(); ++s) {
      cursor.push_back(ss[s].begin);
      for (unsigned d = 0; d < ss[s].depth && slots.size() < maxSlots; ++d) {
        todo.push_back(unsigned(slots.size()));
        slots.push_back(Slot{});
        slots.back().stream = uint16_t(s);
      }
    }
  }

  // A fresh slot gets its stream's next offset and the submission time.
  void aim(Slot& sl, int64_t ts) {
    const Stream& s = ss[sl.stream];
    if (s.random) {
      sl.off = s.randomOffset(rng);
    } else {
      sl.off = cursor[sl.stream];
      cursor[sl.stream] = sl.off + s.bs >= s.end ? s.begin : sl.off + s.bs;
    }
    sl.len = s.bs;
    sl.done = 0;
    sl.t = ts;
    sl.fresh = false;
  }

  void complete(unsigned idx, int res, int64_t now) {
    Slot& sl = slots[idx];
    if (res == -EAGAIN || res == -EINTR) {
      todo.push_back(idx);
      return;
    }
    if (res <= 0) {  // an errno, or the end of the device where none was expected
      if (t.err == 0) {
        t.err = res < 0 ? -res : EIO;
        t.errOffset = sl.off + sl.done;
      }
      stopping = true;
      return;
    }
    sl.done += unsigned(res);
    t.read += unsigned(res);
    if (sl.done < sl.len) {  // short read: the rest again
      todo.push_back(idx);
      return;
    }
    t.count(now, sl.t, sl.len, sl.stream);
    sl.fresh = true;
    todo.push_back(idx);
  }
};

Tally Ring::drive(const std::vector<Stream>& ss, Timeline tl, Progress* pg, Rng& rng) {
  Drive d(ss, tl, rng, bufs_.size());
  if (d.slots.size() > 1)
    askDefaultSlice();
  else
    askShortSlice();
  __kernel_timespec bound{0, 100 * kMs};
  armTick();
  for (;;) {
    if (!d.stopping) {
      const int64_t ts = nowNs();
      for (unsigned idx : d.todo) {
        if (d.slots[idx].fresh) d.aim(d.slots[idx], ts);
        prep(d.slots[idx], idx);
        ++d.inflight;
      }
    }
    d.todo.clear();
    if (d.inflight == 0) break;
    io_uring_cqe* cqe = nullptr;
    int r = io_uring_submit_and_wait_timeout(&ring_, &cqe, 1, tickWorks_ ? nullptr : &bound, nullptr);
    if (r < 0 && r != -ETIME && r != -EINTR && r != -EAGAIN && r != -EBUSY) {
      if (d.t.err == 0) d.t.err = -r;
      break;  // the ring's teardown collects what is still in flight
    }
    const int64_t now = nowNs();
    unsigned head, n = 0;
    io_uring_for_each_cqe(&ring_, head, cqe) {
      ++n;
      if (cqe->user_data == kTick) {
        sawTick(*cqe);
        continue;
      }
      --d.inflight;
      d.complete(unsigned(cqe->user_data), cqe->res, now);
    }
    io_uring_cq_advance(&ring_, n);
    if (now >= tl.stop || canceled()) d.stopping = true;
    if (pg) pg->tick(now);
  }
  disarmTick();
  return std::move(d.t);
}

class UringEngine : public Engine {
 public:
  std::string describe() const override { return main_.describe(); }

  Tally run(const std::vector<Stream>& streams, PhaseTime pt, Progress& pg) override {
    const int64_t t0 = nowNs();
    Timeline tl{t0 + pt.warmNs, t0 + pt.warmNs + pt.durNs};
    Rng rng(freshSeed(0));
    return main_.drive(streams, tl, &pg, rng);
  }

  Tally runThreads(const Stream& s, unsigned n, PhaseTime pt, Progress& pg) override {
    if (n > workers_.size()) n = unsigned(workers_.size());
    std::vector<Tally> res(n);
    runTogether(n, pt, pg, [&](unsigned i, const StartFn& start) {
      Ring& ring = *workers_[i];
      const int e = ring.enable();
      const Timeline tl = start();
      if (e == 0) {
        Rng rng(freshSeed(i + 1));
        res[i] = ring.drive({s}, tl, nullptr, rng);
      } else {
        res[i].err = -e;
      }
      ring.unregisterRingFd();  // the registration belongs to this thread
    });
    Tally all;
    for (const Tally& r : res) all.merge(r);
    return all;
  }

  Ring main_;
  std::vector<std::unique_ptr<Ring>> workers_;
};

}  // namespace

std::unique_ptr<Engine> makeUringEngine(int fd, unsigned mainDepth, uint32_t mainBs,
                                        unsigned threads, unsigned threadDepth,
                                        uint32_t threadBs, std::string& why) {
  auto eng = std::make_unique<UringEngine>();
  int r = eng->main_.setup(fd, mainDepth, mainBs, false);
  for (unsigned i = 0; r == 0 && i < threads; ++i) {
    eng->workers_.push_back(std::make_unique<Ring>());
    r = eng->workers_.back()->setup(fd, threadDepth, threadBs, true);
  }
  if (r != 0) {
    why = std::string("io_uring unavailable: ") + strerror(-r);
    return nullptr;
  }
  bool allFixed = eng->main_.fixedBufs();
  for (const auto& w : eng->workers_) allFixed = allFixed && w->fixedBufs();
  if (!allFixed) {
    rlimit lim{};
    getrlimit(RLIMIT_MEMLOCK, &lim);
    char b[160];
    snprintf(b, sizeof b, "buffers not registered: the locked-memory limit (%llu KiB) is too small",
             lim.rlim_cur == RLIM_INFINITY ? 0ULL : (unsigned long long)(lim.rlim_cur / 1024));
    why = b;
  }
  return eng;
}

}  // namespace vpu
