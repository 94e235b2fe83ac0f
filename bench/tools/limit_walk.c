// The speed limit a disk-usage scan is measured against: the bare metadata walk.
// Worker threads share a stack of open folders; each lists one folder with getdents64,
// stats every entry with statx relative to the folder's descriptor without following
// links, sums the allocated blocks and hands the subfolders back to the stack. Nothing
// is kept: hard links count at every name (a set of seen inodes would be the scan's
// cost, not the limit's) and the root folder's own blocks are not counted.
// Prints "BYTES bytes ENTRIES entries"; unreadable entries go to standard error.
// Linux only.   limit_walk DIR [THREADS]   (THREADS: the online processors by default)
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// Subfolders go to the stack in small batches: other workers get them early, and
// each batch takes the lock once.
enum { kMaxThreads = 256, kListingBytes = 64 * 1024, kBatch = 4 };
// Room made before the workers start: the first allocation on a worker's thread sets
// up a malloc arena, and doing that under the stack's lock stalls every worker.
enum { kInitialStack = 4096 };

struct listed_entry {
  uint64_t inode;
  int64_t next;
  unsigned short length;
  unsigned char type;
  char name[];
};

static struct {
  pthread_mutex_t lock;
  pthread_cond_t changed;
  int *folders;
  size_t count, capacity;
  int listing;  // folders taken and not yet finished
} stack = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_COND_INITIALIZER, NULL, 0, 0, 0};

// Aligned so that no two workers' counters share a cache line.
struct worker {
  pthread_t thread;
  uint64_t blocks, entries, unreadable;
  int found[kBatch];
  size_t found_count;
} __attribute__((aligned(64)));

static void push_found(struct worker *w) {
  if (w->found_count == 0) return;
  pthread_mutex_lock(&stack.lock);
  if (stack.count + w->found_count > stack.capacity) {
    stack.capacity = 2 * (stack.count + w->found_count);
    stack.folders = realloc(stack.folders, stack.capacity * sizeof *stack.folders);
    if (!stack.folders) abort();
  }
  // One waiter woken for each folder: a broadcast would wake them all to fight for few.
  for (size_t i = 0; i < w->found_count; i++) {
    stack.folders[stack.count++] = w->found[i];
    pthread_cond_signal(&stack.changed);
  }
  w->found_count = 0;
  pthread_mutex_unlock(&stack.lock);
}

// The next folder to list, or -1 once the stack is empty and no one is listing.
static int take_folder(int finished_one) {
  pthread_mutex_lock(&stack.lock);
  stack.listing -= finished_one;
  while (stack.count == 0 && stack.listing > 0) pthread_cond_wait(&stack.changed, &stack.lock);
  int fd = -1;
  if (stack.count > 0) {
    fd = stack.folders[--stack.count];
    stack.listing++;
  } else {
    pthread_cond_broadcast(&stack.changed);
  }
  pthread_mutex_unlock(&stack.lock);
  return fd;
}

static int is_dot_or_dot_dot(const char *name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

static void list_folder(struct worker *w, int folder, char *listing) {
  for (;;) {
    long length = syscall(SYS_getdents64, folder, listing, kListingBytes);
    if (length < 0) w->unreadable++;
    if (length <= 0) return;
    for (long at = 0; at < length;) {
      const struct listed_entry *entry = (const void *)(listing + at);
      at += entry->length;
      if (is_dot_or_dot_dot(entry->name)) continue;
      struct statx st;
      if (statx(folder, entry->name, AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC,
                STATX_TYPE | STATX_BLOCKS, &st) != 0) {
        w->unreadable++;
        continue;
      }
      w->entries++;
      w->blocks += st.stx_blocks;
      if (!S_ISDIR(st.stx_mode)) continue;
      int child = openat(folder, entry->name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) {
        w->unreadable++;
        continue;
      }
      w->found[w->found_count++] = child;
      if (w->found_count == kBatch) push_found(w);
    }
    // A part batch never waits for the next read, nor outlives the folder.
    push_found(w);
  }
}

static void *work(void *arg) {
  struct worker *w = arg;
  char listing[kListingBytes];
  for (int folder = take_folder(0); folder >= 0; folder = take_folder(1)) {
    list_folder(w, folder, listing);
    close(folder);
  }
  return NULL;
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: limit_walk DIR [THREADS]\n");
    return 2;
  }
  long threads = argc == 3 ? atol(argv[2]) : sysconf(_SC_NPROCESSORS_ONLN);
  if (threads < 1) threads = 1;
  if (threads > kMaxThreads) threads = kMaxThreads;

  // Every waiting folder holds a descriptor; a wide tree can pass a low soft limit.
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }

  struct worker *workers = aligned_alloc(64, (size_t)threads * sizeof *workers);
  if (!workers) abort();
  memset(workers, 0, (size_t)threads * sizeof *workers);
  int root = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) {
    perror(argv[1]);
    return 1;
  }
  stack.capacity = kInitialStack;
  stack.folders = malloc(stack.capacity * sizeof *stack.folders);
  if (!stack.folders) abort();
  workers[0].found[workers[0].found_count++] = root;
  push_found(&workers[0]);

  for (long i = 0; i < threads; i++) pthread_create(&workers[i].thread, NULL, work, &workers[i]);
  uint64_t blocks = 0, entries = 0, unreadable = 0;
  for (long i = 0; i < threads; i++) {
    pthread_join(workers[i].thread, NULL);
    blocks += workers[i].blocks;
    entries += workers[i].entries;
    unreadable += workers[i].unreadable;
  }
  printf("%llu bytes %llu entries\n", (unsigned long long)blocks * 512,
         (unsigned long long)entries);
  if (unreadable) fprintf(stderr, "limit_walk: %llu unreadable\n", (unsigned long long)unreadable);
  free(workers);
  free(stack.folders);
  return 0;
}
