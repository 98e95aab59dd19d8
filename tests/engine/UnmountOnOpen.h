// A drive pulled at a chosen moment of another thread's or process's run: a fanotify permission
// watch on the mount holds the open of one file until the mount is lazily detached (as a
// desktop's automounter does when a stick goes), then lets that open go on. Every other open
// is let through untouched. Needs root and a kernel with fanotify permission events.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

class CUnmountOnOpen {
 public:
  // point: the mount point (no trailing '/'); trigger: the full path of the file whose open
  // detaches the mount. False with the reason in why when this machine cannot watch opens.
  bool Start(const std::string& point, const std::string& trigger, std::string& why) {
    m_point = point;
    m_trigger = trigger;
    m_fan = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (m_fan < 0) {
      why = std::string("fanotify permission events not available: ") + std::strerror(errno);
      return false;
    }
    if (fanotify_mark(m_fan, FAN_MARK_ADD | FAN_MARK_MOUNT, FAN_OPEN_PERM, AT_FDCWD, point.c_str()) != 0) {
      why = std::string("cannot watch the opens of ") + point + ": " + std::strerror(errno);
      return false;
    }
    m_wake = eventfd(0, EFD_CLOEXEC);
    if (m_wake < 0) {
      why = std::string("eventfd: ") + std::strerror(errno);
      return false;
    }
    m_thread = std::thread([this] { Serve(); });
    return true;
  }

  // Whether the trigger was opened and the mount detached; the errno of a failed detach.
  bool Fired() const { return m_bFired; }
  int DetachError() const { return m_nDetachError; }

  ~CUnmountOnOpen() {
    if (m_thread.joinable()) {
      const uint64_t one = 1;
      if (write(m_wake, &one, sizeof one) != sizeof one) perror("eventfd write");
      m_thread.join();
    }
    // Closing the group lets any open still held go on.
    if (m_fan >= 0) close(m_fan);
    if (m_wake >= 0) close(m_wake);
  }

 private:
  void Serve() {
    alignas(struct fanotify_event_metadata) char buffer[8192];
    for (;;) {
      struct pollfd fds[2] = {{m_fan, POLLIN, 0}, {m_wake, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      ssize_t got = read(m_fan, buffer, sizeof buffer);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return;
      }
      auto* event = reinterpret_cast<struct fanotify_event_metadata*>(buffer);
      for (; FAN_EVENT_OK(event, got); event = FAN_EVENT_NEXT(event, got)) {
        if (event->fd < 0) continue;
        if ((event->mask & FAN_OPEN_PERM) != 0) {
          if (!m_bFired && PathOf(event->fd) == m_trigger) {
            if (umount2(m_point.c_str(), MNT_DETACH) != 0) m_nDetachError = errno;
            m_bFired = true;
          }
          struct fanotify_response response = {event->fd, FAN_ALLOW};
          if (write(m_fan, &response, sizeof response) != sizeof response) perror("fanotify response");
        }
        close(event->fd);
      }
    }
  }

  static std::string PathOf(int fd) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    ssize_t n = readlink(link, target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  }

  std::string m_point, m_trigger;
  int m_fan = -1;
  int m_wake = -1;
  std::thread m_thread;
  std::atomic<bool> m_bFired{false};
  std::atomic<int> m_nDetachError{0};
};
