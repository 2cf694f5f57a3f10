#include "utils/config/store/PlistNesting.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace ZQ::RVL::Utils::Preferences {

namespace {

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kTrailerSize = 32;

// Reads a big-endian unsigned integer of `width` (1 to 8) bytes at `at`.
std::optional<std::uint64_t> ReadUnsigned(std::string_view file, std::uint64_t at,
                                          std::size_t width) {
  if (width == 0 || width > 8 || at > file.size() || file.size() - at < width) return std::nullopt;
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    value = (value << 8) | static_cast<unsigned char>(file[static_cast<std::size_t>(at) + i]);
  }
  return value;
}

// The layout of a binary property list, from its trailer.
struct BinaryLayout {
  std::size_t offsetSize = 0;
  std::size_t refSize = 0;
  std::uint64_t objectCount = 0;
  std::uint64_t topObject = 0;
  std::uint64_t offsetTable = 0;
};

std::optional<BinaryLayout> ReadTrailer(std::string_view file) {
  if (file.size() < kBinaryMagic.size() + kTrailerSize) return std::nullopt;
  const std::uint64_t trailer = file.size() - kTrailerSize;
  BinaryLayout layout;
  layout.offsetSize = static_cast<unsigned char>(file[static_cast<std::size_t>(trailer) + 6]);
  layout.refSize = static_cast<unsigned char>(file[static_cast<std::size_t>(trailer) + 7]);
  const auto count = ReadUnsigned(file, trailer + 8, 8);
  const auto top = ReadUnsigned(file, trailer + 16, 8);
  const auto table = ReadUnsigned(file, trailer + 24, 8);
  if (!count || !top || !table || layout.offsetSize < 1 || layout.offsetSize > 8 ||
      layout.refSize < 1 || layout.refSize > 8 || *top >= *count || *table > trailer ||
      *count > (trailer - *table) / layout.offsetSize) {
    return std::nullopt;
  }
  layout.objectCount = *count;
  layout.topObject = *top;
  layout.offsetTable = *table;
  return layout;
}

// Where the references of one object lie; a leaf has none.
struct Children {
  bool container = false;  // an array, set or dictionary
  bool dictionary = false;  // its first count / 2 references are keys
  std::uint64_t refsAt = 0;
  std::uint64_t count = 0;  // references to read (a dictionary's keys and values)
};

// Returns the children of object `index`, or nothing when the object cannot
// be read.
std::optional<Children> ChildrenOf(std::string_view file, const BinaryLayout& layout,
                                   std::uint64_t index) {
  const auto offset =
      ReadUnsigned(file, layout.offsetTable + index * layout.offsetSize, layout.offsetSize);
  if (!offset || *offset >= layout.offsetTable) return std::nullopt;
  const auto marker = static_cast<unsigned char>(file[static_cast<std::size_t>(*offset)]);
  const unsigned type = marker >> 4;
  // 0xA array, 0xB ordered set, 0xC set, 0xD dictionary; the rest are leaves.
  if (type < 0xA || type > 0xD) return Children{};
  std::uint64_t at = *offset + 1;
  std::uint64_t count = marker & 0x0f;
  if (count == 0x0f) {  // the count follows as an integer object
    const auto intMarker = ReadUnsigned(file, at, 1);
    if (!intMarker || (*intMarker >> 4) != 0x1 || (*intMarker & 0x0f) > 3) return std::nullopt;
    const std::size_t width = std::size_t{1} << (*intMarker & 0x0f);
    const auto extended = ReadUnsigned(file, at + 1, width);
    if (!extended) return std::nullopt;
    count = *extended;
    at += 1 + width;
  }
  if (type == 0xD) {
    if (count > UINT64_MAX / 2) return std::nullopt;
    count *= 2;
  }
  if (at > layout.offsetTable || count > (layout.offsetTable - at) / layout.refSize) {
    return std::nullopt;
  }
  return Children{true, type == 0xD, at, count};
}

// Returns true when object `index` is a text without a NUL inside, as a
// dictionary key must be: libplist hands keys out as C strings and aborts the
// process (an assertion) on a key whose length disagrees with its strlen.
bool IsKeyText(std::string_view file, const BinaryLayout& layout, std::uint64_t index) {
  const auto offset =
      ReadUnsigned(file, layout.offsetTable + index * layout.offsetSize, layout.offsetSize);
  if (!offset || *offset >= layout.offsetTable) return false;
  const auto marker = static_cast<unsigned char>(file[static_cast<std::size_t>(*offset)]);
  const unsigned type = marker >> 4;  // 0x5 ASCII, 0x6 UTF-16 big-endian
  if (type != 0x5 && type != 0x6) return false;
  std::uint64_t at = *offset + 1;
  std::uint64_t count = marker & 0x0f;
  if (count == 0x0f) {
    const auto intMarker = ReadUnsigned(file, at, 1);
    if (!intMarker || (*intMarker >> 4) != 0x1 || (*intMarker & 0x0f) > 3) return false;
    const std::size_t width = std::size_t{1} << (*intMarker & 0x0f);
    const auto extended = ReadUnsigned(file, at + 1, width);
    if (!extended) return false;
    count = *extended;
    at += 1 + width;
  }
  const std::size_t unit = type == 0x5 ? 1 : 2;
  if (at > file.size() || count > (file.size() - at) / unit) return false;
  for (std::uint64_t i = 0; i < count; ++i) {
    const auto c = ReadUnsigned(file, at + i * unit, unit);
    if (!c || *c == 0) return false;
  }
  return true;
}

// Walks the object graph depth first with an explicit stack. The height of an
// object is 0 for a leaf and 1 + the greatest height of its children for a
// container; each object is walked once.
bool BinaryNestingWithin(std::string_view file, std::size_t maxDepth) {
  const std::optional<BinaryLayout> layout = ReadTrailer(file);
  if (!layout) return false;
  // Per object: 0 unvisited, kOnPath while on the current path, otherwise its
  // height + 1 (at most maxDepth + 1).
  constexpr std::uint8_t kOnPath = 0xff;
  if (maxDepth >= kOnPath - 1) return false;
  std::vector<std::uint8_t> state(static_cast<std::size_t>(layout->objectCount), 0);
  std::vector<bool> goodKey(static_cast<std::size_t>(layout->objectCount), false);

  struct Frame {
    std::uint64_t index;
    Children children;
    std::uint64_t next = 0;
    std::size_t height = 1;
  };
  std::vector<Frame> path;
  // Starts object `index`; sets `leafHeight` (0) when it is a leaf and pushes
  // it when it is a container.
  const auto start = [&](std::uint64_t index, std::optional<std::size_t>& leafHeight) {
    const std::optional<Children> children = ChildrenOf(file, *layout, index);
    if (!children) return false;
    if (!children->container) {
      state[static_cast<std::size_t>(index)] = 1;
      leafHeight = 0;
      return true;
    }
    if (path.size() >= maxDepth) return false;
    state[static_cast<std::size_t>(index)] = kOnPath;
    path.push_back({index, *children});
    return true;
  };

  std::optional<std::size_t> leaf;
  if (!start(layout->topObject, leaf)) return false;
  while (!path.empty()) {
    Frame& frame = path.back();
    if (frame.next == frame.children.count) {
      const std::size_t height = frame.height;
      state[static_cast<std::size_t>(frame.index)] = static_cast<std::uint8_t>(height + 1);
      path.pop_back();
      if (!path.empty()) path.back().height = std::max(path.back().height, height + 1);
      continue;
    }
    const auto child =
        ReadUnsigned(file, frame.children.refsAt + frame.next * layout->refSize, layout->refSize);
    ++frame.next;
    if (!child || *child >= layout->objectCount) return false;
    if (frame.children.dictionary && frame.next <= frame.children.count / 2 &&
        !goodKey[static_cast<std::size_t>(*child)]) {
      // Each key is read once, however often it is referred to.
      if (!IsKeyText(file, *layout, *child)) return false;
      goodKey[static_cast<std::size_t>(*child)] = true;
    }
    const std::uint8_t seen = state[static_cast<std::size_t>(*child)];
    if (seen == kOnPath) return false;  // a loop
    std::size_t childHeight = 0;
    if (seen == 0) {
      leaf.reset();
      if (!start(*child, leaf)) return false;
      if (!leaf) continue;  // a container: walked next
      childHeight = *leaf;
    } else {
      childHeight = seen - 1u;
      if (path.size() + childHeight > maxDepth) return false;
    }
    frame.height = std::max(frame.height, childHeight + 1);
  }
  return true;
}

// Counts the open <array> and <dict> elements; comments, processing
// instructions and CDATA sections are skipped. A stray closing tag is left for
// the parser to reject.
bool XmlNestingWithin(std::string_view file, std::size_t maxDepth) {
  std::size_t depth = 0;
  std::size_t at = 0;
  const auto skipPast = [&](std::string_view end) {
    const std::size_t found = file.find(end, at);
    at = found == std::string_view::npos ? file.size() : found + end.size();
  };
  while ((at = file.find('<', at)) != std::string_view::npos) {
    const std::string_view rest = file.substr(at);
    if (rest.substr(0, 4) == "<!--") {
      skipPast("-->");
    } else if (rest.substr(0, 9) == "<![CDATA[") {
      skipPast("]]>");
    } else if (rest.substr(0, 2) == "<?") {
      skipPast("?>");
    } else {
      const std::size_t close = rest.find('>');
      const std::string_view tag =
          rest.substr(0, close == std::string_view::npos ? rest.size() : close);
      const bool closing = tag.substr(0, 2) == "</";
      const std::string_view name = tag.substr(closing ? 2 : 1);
      const auto isContainer = [&](std::string_view container) {
        return name.substr(0, container.size()) == container &&
               (name.size() == container.size() || name[container.size()] == ' ' ||
                name[container.size()] == '/' || name[container.size()] == '\t' ||
                name[container.size()] == '\n' || name[container.size()] == '\r');
      };
      if (isContainer("array") || isContainer("dict")) {
        const bool selfClosing = !tag.empty() && tag.back() == '/';
        if (closing) {
          if (depth > 0) --depth;
        } else if (!selfClosing && ++depth > maxDepth) {
          return false;
        }
      }
      at = close == std::string_view::npos ? file.size() : at + close + 1;
    }
  }
  return true;
}

}  // namespace

bool NestingWithin(std::string_view file, std::size_t maxDepth) {
  if (file.substr(0, kBinaryMagic.size()) == kBinaryMagic) {
    return BinaryNestingWithin(file, maxDepth);
  }
  return XmlNestingWithin(file, maxDepth);
}

}  // namespace ZQ::RVL::Utils::Preferences
