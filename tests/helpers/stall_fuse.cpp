// A file system of one read-only file, "disk.img", whose contents are those of
// an image file, and whose reads block on demand: SIGUSR1 makes every read
// wait, SIGUSR2 lets them go. A loop device over it is a disk that stops
// answering. Usage: stall_fuse IMAGE MOUNTPOINT (stays in the foreground;
// starts stalled when VLM_STALL=1; a read waits a minute at most).
#define FUSE_USE_VERSION 35
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int image = -1;
off_t imageSize = 0;
std::atomic<int> stalled{0};

void onSignal(int sig) { stalled.store(sig == SIGUSR1 ? 1 : 0); }

int getattr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, "/disk.img") != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = imageSize;
  return 0;
}

int readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buf, "..", nullptr, 0, fuse_fill_dir_flags(0));
  fill(buf, "disk.img", nullptr, 0, fuse_fill_dir_flags(0));
  return 0;
}

int open(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, "/disk.img") != 0) return -ENOENT;
  if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  fi->direct_io = 1;  // every read reaches us, none is answered from a cache
  return 0;
}

int read(const char*, char* buf, size_t size, off_t off, fuse_file_info*) {
  // Never more than a minute: a test that died must not leave a disk that hangs.
  for (int i = 0; i < 6000 && stalled.load(); ++i) usleep(10000);
  ssize_t n = pread(image, buf, size, off);
  return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  image = ::open(argv[1], O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (image < 0 || fstat(image, &st) != 0) return 1;
  imageSize = st.st_size;
  const char* s = std::getenv("VLM_STALL");
  stalled.store(s && std::strcmp(s, "1") == 0);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigaction(SIGUSR1, &sa, nullptr);
  sigaction(SIGUSR2, &sa, nullptr);
  fuse_operations ops{};
  ops.getattr = getattr;
  ops.readdir = readdir;
  ops.open = open;
  ops.read = read;
  char* args[] = {argv[0], const_cast<char*>("-f"), const_cast<char*>("-o"),
                  const_cast<char*>("fsname=vlmstall,ro"), argv[2], nullptr};
  return fuse_main(5, args, &ops, nullptr);
}
