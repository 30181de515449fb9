#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "host_test_support.h"
#include "rich_clipboard.h"

namespace {

constexpr char kChannel[] = "wrenpad/rich_clipboard";
// What a GTK owner offers ahead of its own targets, in its order.
constexpr const char* kGtkTargets[] = {"TIMESTAMP", "TARGETS", "MULTIPLE"};

// Stands for another program owning the clipboard: offers each target with
// fixed bytes. GTK serves requests to an owner in the same process directly.
struct Offer {
  std::vector<std::pair<std::string, std::string>> targets;
};

void offer_get_cb(GtkClipboard*, GtkSelectionData* selection, guint info, gpointer user_data) {
  const std::string& bytes = static_cast<Offer*>(user_data)->targets.at(info).second;
  gtk_selection_data_set(selection, gtk_selection_data_get_target(selection), 8,
                         reinterpret_cast<const guchar*>(bytes.data()),
                         static_cast<gint>(bytes.size()));
}

void offer_clear_cb(GtkClipboard*, gpointer user_data) { delete static_cast<Offer*>(user_data); }

class RichClipboardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }

  void SetUp() override {
    messenger_ = standin_messenger_new();
    rich_clipboard_ = rich_clipboard_new(messenger_);
    gtk_clipboard_clear(clipboard());
  }

  void TearDown() override {
    gtk_clipboard_clear(clipboard());
    rich_clipboard_free(rich_clipboard_);
    g_clear_object(&messenger_);
  }

  static GtkClipboard* clipboard() { return gtk_clipboard_get(GDK_SELECTION_CLIPBOARD); }

  FlMethodResponse* call(const char* method, FlValue* args = nullptr) {
    return host_test_invoke(messenger_, kChannel, method, args);
  }

  void write(FlValue* args) {
    g_autoptr(FlMethodResponse) response = call("write", args);
    FlValue* result = host_test_success_result(response);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);
  }

  // The map that "read" answers (new reference), or NULL with a failure.
  FlValue* read() {
    g_autoptr(FlMethodResponse) response = call("read");
    FlValue* result = host_test_success_result(response);
    if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_MAP) {
      ADD_FAILURE() << "read did not answer a map";
      return nullptr;
    }
    return fl_value_ref(result);
  }

  static void offer(std::vector<std::pair<std::string, std::string>> targets) {
    auto* data = new Offer{std::move(targets)};
    std::vector<GtkTargetEntry> entries;
    for (guint i = 0; i < data->targets.size(); i++) {
      entries.push_back({const_cast<gchar*>(data->targets[i].first.c_str()), 0, i});
    }
    ASSERT_TRUE(gtk_clipboard_set_with_data(clipboard(), entries.data(),
                                            static_cast<guint>(entries.size()), offer_get_cb,
                                            offer_clear_cb, data));
  }

  // Names of the targets the clipboard offers now.
  static std::vector<std::string> offered_targets() {
    std::vector<std::string> names;
    g_autofree GdkAtom* targets = nullptr;
    gint n_targets = 0;
    if (gtk_clipboard_wait_for_targets(clipboard(), &targets, &n_targets)) {
      for (gint i = 0; i < n_targets; i++) {
        g_autofree gchar* name = gdk_atom_name(targets[i]);
        names.push_back(name);
      }
    }
    return names;
  }

  // The bytes offered for target, or "<none>" when nothing arrives.
  static std::string offered_bytes(const char* target) {
    GtkSelectionData* selection =
        gtk_clipboard_wait_for_contents(clipboard(), gdk_atom_intern(target, FALSE));
    if (selection == nullptr) {
      return "<none>";
    }
    gint length = 0;
    const guchar* data = gtk_selection_data_get_data_with_length(selection, &length);
    std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    gtk_selection_data_free(selection);
    return bytes;
  }

  FlBinaryMessenger* messenger_ = nullptr;
  RichClipboard* rich_clipboard_ = nullptr;
};

bool contains(const std::vector<std::string>& names, const char* name) {
  for (const std::string& n : names) {
    if (n == name) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> keys(FlValue* map) {
  std::vector<std::string> names;
  for (size_t i = 0; i < fl_value_get_length(map); i++) {
    names.push_back(fl_value_get_string(fl_value_get_map_key(map, i)));
  }
  return names;
}

std::string string_at(FlValue* map, const char* key) {
  FlValue* value = fl_value_lookup_string(map, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_STRING) {
    return "<absent>";
  }
  return fl_value_get_string(value);
}

std::string bytes_at(FlValue* map, const char* key) {
  FlValue* value = fl_value_lookup_string(map, key);
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_UINT8_LIST) {
    return "<absent>";
  }
  return std::string(reinterpret_cast<const char*>(fl_value_get_uint8_list(value)),
                     fl_value_get_length(value));
}

std::vector<std::string> strings_at(FlValue* map, const char* key) {
  std::vector<std::string> strings;
  FlValue* value = fl_value_lookup_string(map, key);
  if (value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_LIST) {
    for (size_t i = 0; i < fl_value_get_length(value); i++) {
      strings.push_back(fl_value_get_string(fl_value_get_list_value(value, i)));
    }
  }
  return strings;
}

FlValue* bytes_value(const std::string& bytes) {
  return fl_value_new_uint8_list(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

TEST_F(RichClipboardTest, WriteOfTextOffersOnlyTextTargets) {
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "text", fl_value_new_string("Grüße aus Bern"));
  write(args);

  std::vector<std::string> targets = offered_targets();
  EXPECT_TRUE(contains(targets, "UTF8_STRING"));
  for (const char* absent : {"text/html", "application/x-wrenpad-fragment", "image/png"}) {
    EXPECT_FALSE(contains(targets, absent)) << absent;
  }
  EXPECT_EQ(offered_bytes("UTF8_STRING"), "Grüße aus Bern");

  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(keys(map), (std::vector<std::string>{"types", "text"}));
  EXPECT_TRUE(contains(strings_at(map, "types"), "UTF8_STRING"));
  EXPECT_EQ(string_at(map, "text"), "Grüße aus Bern");
}

TEST_F(RichClipboardTest, WriteOffersEveryFormAtOnceAndReadReturnsThem) {
  const std::string image("\x89PNG\r\n\x1a\n\0\0\0\0IEND", 16);
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "text", fl_value_new_string("plain"));
  fl_value_set_string_take(args, "html", fl_value_new_string("<p>rich</p>"));
  fl_value_set_string_take(args, "wren", fl_value_new_string("{\"blocks\":[]}"));
  fl_value_set_string_take(args, "image", bytes_value(image));
  write(args);

  std::vector<std::string> targets = offered_targets();
  for (const char* target :
       {"UTF8_STRING", "text/html", "application/x-wrenpad-fragment", "image/png"}) {
    EXPECT_TRUE(contains(targets, target)) << target;
  }
  // Byte buffers go out without a terminating NUL.
  EXPECT_EQ(offered_bytes("text/html"), "<p>rich</p>");
  EXPECT_EQ(offered_bytes("application/x-wrenpad-fragment"), "{\"blocks\":[]}");
  EXPECT_EQ(offered_bytes("image/png"), image);

  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(string_at(map, "text"), "plain");
  EXPECT_EQ(string_at(map, "html"), "<p>rich</p>");
  EXPECT_EQ(string_at(map, "wren"), "{\"blocks\":[]}");
  EXPECT_EQ(bytes_at(map, "image"), image);
  EXPECT_EQ(string_at(map, "imageMime"), "image/png");
  EXPECT_EQ(fl_value_lookup_string(map, "files"), nullptr);
  EXPECT_EQ(fl_value_lookup_string(map, "vscode"), nullptr);
}

TEST_F(RichClipboardTest, WriteTreatsEmptyAndMistypedValuesAsAbsent) {
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "text", fl_value_new_string("kept"));
  fl_value_set_string_take(args, "html", fl_value_new_string(""));
  fl_value_set_string_take(args, "wren", bytes_value("not a string"));
  fl_value_set_string_take(args, "image", fl_value_new_string("not bytes"));
  write(args);

  std::vector<std::string> targets = offered_targets();
  EXPECT_TRUE(contains(targets, "UTF8_STRING"));
  for (const char* absent : {"text/html", "application/x-wrenpad-fragment", "image/png"}) {
    EXPECT_FALSE(contains(targets, absent)) << absent;
  }
}

TEST_F(RichClipboardTest, WriteOffersAnImageUnderItsOwnTypeWithoutConversion) {
  const std::string jpeg("\xff\xd8\xff\xe0 not really a jpeg");
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "image", bytes_value(jpeg));
  fl_value_set_string_take(args, "imageMime", fl_value_new_string("image/jpeg"));
  write(args);

  std::vector<std::string> targets = offered_targets();
  EXPECT_TRUE(contains(targets, "image/jpeg"));
  EXPECT_FALSE(contains(targets, "image/png"));
  EXPECT_FALSE(contains(targets, "UTF8_STRING"));
  EXPECT_EQ(offered_bytes("image/jpeg"), jpeg);
}

TEST_F(RichClipboardTest, WriteWithNothingToOfferClearsTheClipboard) {
  offer({{"UTF8_STRING", "old"}});
  g_autoptr(FlValue) empty = fl_value_new_map();
  write(empty);
  EXPECT_TRUE(offered_targets().empty());
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(fl_value_get_length(map), 0u);

  offer({{"UTF8_STRING", "old"}});
  g_autoptr(FlValue) mistyped = fl_value_new_map();
  fl_value_set_string_take(mistyped, "text", fl_value_new_int(7));
  write(mistyped);
  EXPECT_TRUE(offered_targets().empty());
}

TEST_F(RichClipboardTest, WriteRefusesArgumentsThatAreNotAMap) {
  FlValue* cases[] = {fl_value_new_list(), fl_value_new_string("text"), fl_value_new_null()};
  for (FlValue* args : cases) {
    g_autofree gchar* text = fl_value_to_string(args);
    SCOPED_TRACE(text);
    g_autoptr(FlMethodResponse) response = call("write", args);
    host_test_expect_error(response, "bad-arguments", "Expected a map");
    fl_value_unref(args);
  }
}

TEST_F(RichClipboardTest, ReadOfAnEmptyClipboardIsAnEmptyMap) {
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(fl_value_get_length(map), 0u);
}

TEST_F(RichClipboardTest, ReadDecodesHtmlWhateverItsEncoding) {
  // "<b>Grüße</b>" in UTF-8, UTF-16LE and UTF-16BE with byte-order marks.
  const std::string utf8 = "<b>Gr\xc3\xbc\xc3\x9f" "e</b>";
  std::string le = "\xff\xfe";
  std::string be = "\xfe\xff";
  const gunichar characters[] = {'<', 'b', '>', 'G', 'r', 0xfc, 0xdf, 'e', '<', '/', 'b', '>'};
  for (gunichar c : characters) {
    le += static_cast<char>(c & 0xff);
    le += static_cast<char>(c >> 8);
    be += static_cast<char>(c >> 8);
    be += static_cast<char>(c & 0xff);
  }
  const std::pair<const char*, std::string> cases[] = {
      {"utf-8", utf8}, {"utf-16le", le}, {"utf-16be", be}};
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    offer({{"text/html", bytes}});
    g_autoptr(FlValue) map = read();
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(string_at(map, "html"), utf8);
    EXPECT_EQ(strings_at(map, "types"), (std::vector<std::string>{kGtkTargets[0], kGtkTargets[1],
                                                                  kGtkTargets[2], "text/html"}));
  }
}

TEST_F(RichClipboardTest, ReadRepairsBrokenUtf8AndSkipsEmptyStrings) {
  offer({{"application/x-wrenpad-fragment", "a\xff" "b"},
         {"vscode-editor-data", "{\"mode\":\"dart\"}"},
         {"text/html", ""}});
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(string_at(map, "wren"), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(string_at(map, "vscode"), "{\"mode\":\"dart\"}");
  EXPECT_EQ(fl_value_lookup_string(map, "html"), nullptr);
  EXPECT_EQ(strings_at(map, "types"),
            (std::vector<std::string>{kGtkTargets[0], kGtkTargets[1], kGtkTargets[2],
                                      "application/x-wrenpad-fragment", "vscode-editor-data",
                                      "text/html"}));
}

// A 2x1 24-bit BMP: a red pixel, then a blue one (rows are stored BGR,
// padded to four bytes).
std::string two_pixel_bmp() {
  const unsigned char bmp[] = {
      'B', 'M', 62, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,                   // file header
      40, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0, 0, 0, 0, 0,     // info header
      8, 0, 0, 0, 0x13, 0x0b, 0, 0, 0x13, 0x0b, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
      0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0, 0};                       // pixels
  return std::string(reinterpret_cast<const char*>(bmp), sizeof bmp);
}

TEST_F(RichClipboardTest, ReadConvertsAnImageOfAnotherTypeToPng) {
  offer({{"image/bmp", two_pixel_bmp()}});
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(string_at(map, "imageMime"), "image/png");
  std::string png = bytes_at(map, "image");
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n"));

  g_autoptr(GdkPixbufLoader) loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
  ASSERT_TRUE(gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(png.data()),
                                      png.size(), nullptr));
  ASSERT_TRUE(gdk_pixbuf_loader_close(loader, nullptr));
  GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  ASSERT_EQ(gdk_pixbuf_get_width(pixbuf), 2);
  ASSERT_EQ(gdk_pixbuf_get_height(pixbuf), 1);
  const guchar* pixels = gdk_pixbuf_read_pixels(pixbuf);
  const int step = gdk_pixbuf_get_n_channels(pixbuf);
  EXPECT_EQ((std::vector<int>{pixels[0], pixels[1], pixels[2]}), (std::vector<int>{255, 0, 0}));
  EXPECT_EQ((std::vector<int>{pixels[step], pixels[step + 1], pixels[step + 2]}),
            (std::vector<int>{0, 0, 255}));
}

TEST_F(RichClipboardTest, ReadOfAnEmptyPngEndsTheImageStep) {
  offer({{"image/png", ""}, {"image/bmp", two_pixel_bmp()}});
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(fl_value_lookup_string(map, "image"), nullptr);
  EXPECT_EQ(fl_value_lookup_string(map, "imageMime"), nullptr);
}

TEST_F(RichClipboardTest, ReadListsTheLocalFilesOfAUriList) {
  offer({{"text/uri-list",
          "file:///tmp/a%20b.txt\r\nhttps://example.org/page\r\nfile:///tmp/c.txt\r\n"}});
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(strings_at(map, "files"), (std::vector<std::string>{"/tmp/a b.txt", "/tmp/c.txt"}));
  EXPECT_TRUE(contains(strings_at(map, "types"), "text/uri-list"));
}

TEST_F(RichClipboardTest, ReadSetsFilesEvenWhenNoUriIsLocal) {
  offer({{"text/uri-list", "https://example.org/page\r\n"}});
  g_autoptr(FlValue) map = read();
  ASSERT_NE(map, nullptr);
  FlValue* files = fl_value_lookup_string(map, "files");
  ASSERT_NE(files, nullptr);
  ASSERT_EQ(fl_value_get_type(files), FL_VALUE_TYPE_LIST);
  EXPECT_EQ(fl_value_get_length(files), 0u);
}

TEST_F(RichClipboardTest, OtherMethodsAreNotImplemented) {
  for (const char* method : {"clear", "Read", ""}) {
    g_autoptr(FlMethodResponse) response = call(method);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) << method;
  }
}

}  // namespace
