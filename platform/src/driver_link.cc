#include "driver_link.h"

#include <gio/gunixsocketaddress.h>

#include <cstring>

namespace {

// Kind, request id and channel-name length come before the channel name and the payload.
constexpr size_t kHeaderSize = 1 + 4 + 2;
// Far above any message the host exchanges; a larger length means the stream is corrupt.
constexpr uint32_t kMaxFrame = 64u << 20;

void put_le(std::vector<uint8_t>& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t get_le(const uint8_t* p, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(p[i]) << (8 * i);
  return value;
}

}  // namespace

std::unique_ptr<DriverLink> DriverLink::connect(const std::string& path, FrameHandler on_frame,
                                                CloseHandler on_close, GError** error) {
  g_autoptr(GSocket) socket = g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM,
                                           G_SOCKET_PROTOCOL_DEFAULT, error);
  if (socket == nullptr) return nullptr;
  g_autoptr(GSocketAddress) address = g_unix_socket_address_new(path.c_str());
  if (!g_socket_connect(socket, address, nullptr, error)) return nullptr;
  g_socket_set_blocking(socket, FALSE);
  return std::unique_ptr<DriverLink>(
      new DriverLink(static_cast<GSocket*>(g_steal_pointer(&socket)), std::move(on_frame),
                     std::move(on_close)));
}

DriverLink::DriverLink(GSocket* socket, FrameHandler on_frame, CloseHandler on_close)
    : socket_(socket), on_frame_(std::move(on_frame)), on_close_(std::move(on_close)) {
  read_source_ = g_socket_create_source(socket_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP |
                                                                           G_IO_ERR),
                                        nullptr);
  g_source_set_callback(read_source_, G_SOURCE_FUNC(readable_cb), this, nullptr);
  g_source_attach(read_source_, nullptr);
}

DriverLink::~DriverLink() {
  if (read_source_ != nullptr) {
    g_source_destroy(read_source_);
    g_source_unref(read_source_);
  }
  if (write_source_ != nullptr) {
    g_source_destroy(write_source_);
    g_source_unref(write_source_);
  }
  g_clear_object(&socket_);
}

void DriverLink::send(Kind kind, uint32_t id, const std::string& channel, GBytes* payload) {
  if (socket_ == nullptr) return;
  gsize size = 0;
  const auto* data = static_cast<const uint8_t*>(
      payload != nullptr ? g_bytes_get_data(payload, &size) : nullptr);
  size_t channel_size = std::min<size_t>(channel.size(), 0xffff);
  put_le(output_, kHeaderSize + channel_size + size, 4);
  output_.push_back(kind);
  put_le(output_, id, 4);
  put_le(output_, channel_size, 2);
  output_.insert(output_.end(), channel.begin(), channel.begin() + channel_size);
  if (size > 0) output_.insert(output_.end(), data, data + size);
  flush();
}

gboolean DriverLink::readable_cb(GSocket*, GIOCondition, gpointer data) {
  static_cast<DriverLink*>(data)->read_available();
  return G_SOURCE_CONTINUE;
}

gboolean DriverLink::writable_cb(GSocket*, GIOCondition, gpointer data) {
  auto* self = static_cast<DriverLink*>(data);
  g_source_unref(self->write_source_);
  self->write_source_ = nullptr;
  self->flush();
  return G_SOURCE_REMOVE;
}

void DriverLink::read_available() {
  uint8_t chunk[65536];
  while (socket_ != nullptr) {
    g_autoptr(GError) error = nullptr;
    gssize n = g_socket_receive(socket_, reinterpret_cast<gchar*>(chunk), sizeof chunk, nullptr,
                                &error);
    if (n < 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) break;
    if (n <= 0) {
      close();
      return;
    }
    input_.insert(input_.end(), chunk, chunk + n);
  }
  parse_frames();
}

void DriverLink::parse_frames() {
  size_t offset = 0;
  while (socket_ != nullptr && input_.size() - offset >= 4) {
    uint32_t length = get_le(input_.data() + offset, 4);
    if (length < kHeaderSize || length > kMaxFrame) {
      g_warning("driver link: corrupt frame length %u", length);
      close();
      return;
    }
    if (input_.size() - offset - 4 < length) break;
    const uint8_t* frame = input_.data() + offset + 4;
    uint8_t kind = frame[0];
    uint32_t id = get_le(frame + 1, 4);
    uint32_t channel_size = get_le(frame + 5, 2);
    if (channel_size > length - kHeaderSize || kind < kEvent || kind > kReply) {
      g_warning("driver link: malformed frame");
      close();
      return;
    }
    std::string channel(reinterpret_cast<const char*>(frame + kHeaderSize), channel_size);
    g_autoptr(GBytes) payload = g_bytes_new(frame + kHeaderSize + channel_size,
                                            length - kHeaderSize - channel_size);
    offset += 4 + length;
    on_frame_(Frame{static_cast<Kind>(kind), id, channel, payload});
  }
  if (socket_ != nullptr) input_.erase(input_.begin(), input_.begin() + offset);
}

void DriverLink::flush() {
  size_t sent_total = 0;
  while (socket_ != nullptr && sent_total < output_.size()) {
    g_autoptr(GError) error = nullptr;
    gssize n = g_socket_send(socket_, reinterpret_cast<const gchar*>(output_.data() + sent_total),
                             output_.size() - sent_total, nullptr, &error);
    if (n < 0 && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) break;
    if (n <= 0) {
      close();
      return;
    }
    sent_total += static_cast<size_t>(n);
  }
  output_.erase(output_.begin(), output_.begin() + sent_total);
  if (!output_.empty() && write_source_ == nullptr) {
    write_source_ = g_socket_create_source(socket_, G_IO_OUT, nullptr);
    g_source_set_callback(write_source_, G_SOURCE_FUNC(writable_cb), this, nullptr);
    g_source_attach(write_source_, nullptr);
  }
}

void DriverLink::close() {
  if (socket_ == nullptr) return;
  if (read_source_ != nullptr) {
    g_source_destroy(read_source_);
    g_source_unref(read_source_);
    read_source_ = nullptr;
  }
  if (write_source_ != nullptr) {
    g_source_destroy(write_source_);
    g_source_unref(write_source_);
    write_source_ = nullptr;
  }
  g_socket_close(socket_, nullptr);
  g_clear_object(&socket_);
  input_.clear();
  output_.clear();
  on_close_();
}
