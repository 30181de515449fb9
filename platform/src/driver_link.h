#ifndef PLATFORM_SRC_DRIVER_LINK_H_
#define PLATFORM_SRC_DRIVER_LINK_H_

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The stand-in's end of the test driver's Unix socket: frames in both directions, read and
// written without blocking from sources on the default main context.
class DriverLink {
 public:
  enum Kind : uint8_t { kEvent = 1, kMessage = 2, kReply = 3 };

  struct Frame {
    Kind kind;
    uint32_t id;
    std::string channel;
    GBytes* payload;  // borrowed for the duration of the callback
  };

  using FrameHandler = std::function<void(const Frame&)>;
  using CloseHandler = std::function<void()>;

  // Connects to the socket at path; null with a message on failure.
  static std::unique_ptr<DriverLink> connect(const std::string& path, FrameHandler on_frame,
                                             CloseHandler on_close, GError** error);
  ~DriverLink();

  DriverLink(const DriverLink&) = delete;
  DriverLink& operator=(const DriverLink&) = delete;

  bool connected() const { return socket_ != nullptr; }
  void send(Kind kind, uint32_t id, const std::string& channel, GBytes* payload);

 private:
  DriverLink(GSocket* socket, FrameHandler on_frame, CloseHandler on_close);

  static gboolean readable_cb(GSocket* socket, GIOCondition condition, gpointer data);
  static gboolean writable_cb(GSocket* socket, GIOCondition condition, gpointer data);
  void read_available();
  void parse_frames();
  void flush();
  void close();

  GSocket* socket_;
  GSource* read_source_ = nullptr;
  GSource* write_source_ = nullptr;
  std::vector<uint8_t> input_;
  std::vector<uint8_t> output_;
  FrameHandler on_frame_;
  CloseHandler on_close_;
};

#endif  // PLATFORM_SRC_DRIVER_LINK_H_
