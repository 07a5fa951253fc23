#include <algorithm>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "bag/bag.hpp"
#include "bag/bag_metadata.hpp"
#include "bag/mcap_bag.hpp"
#include "bag/sqlite3_bag.hpp"

namespace velmora_bag
{

namespace
{

namespace fs = std::filesystem;

// Split files sort by their trailing number ("wbag_10.db3" after "wbag_9.db3"). The number is
// compared as text, shorter first, so that no length of digits overflows, and every name has the
// same key so that the order is one std::sort can rely on.
bool splitOrder(const fs::path & a, const fs::path & b)
{
  const auto key = [](const fs::path & path) {
      const std::string stem = path.stem().string();
      const std::size_t digits = stem.find_last_not_of("0123456789") + 1;
      return std::make_tuple(
        stem.substr(0, digits), stem.size() - digits, stem.substr(digits), path);
    };
  return key(a) < key(b);
}

std::vector<std::string> filesWithExtension(const fs::path & directory, const std::string & ext)
{
  std::vector<fs::path> found;
  for (const auto & entry : fs::directory_iterator(directory)) {
    if (entry.is_regular_file() && entry.path().extension() == ext) {
      found.push_back(entry.path());
    }
  }
  std::sort(found.begin(), found.end(), splitOrder);
  return {found.begin(), found.end()};
}

bool startsWithMcapMagic(const fs::path & file)
{
  std::ifstream in(file, std::ios::binary);
  std::array<char, 8> magic{};
  in.read(magic.data(), magic.size());
  return in && std::equal(magic.begin(), magic.end(), mcap::kMagic.begin(),
           [](char a, uint8_t b) {return static_cast<uint8_t>(a) == b;});
}

std::unique_ptr<BagReader> openStorage(
  const std::string & storage, const std::vector<std::string> & files, const std::string & where)
{
  if (storage == "sqlite3") {
    return std::make_unique<Sqlite3Bag>(files);
  }
  if (storage == "mcap") {
    if (files.size() == 1) {
      return std::make_unique<McapBag>(files.front());
    }
    return std::make_unique<SplitMcapBag>(files);
  }
  throw BagError(where + ": unknown storage '" + storage + "' (sqlite3 or mcap)");
}

std::unique_ptr<BagReader> openDirectory(const fs::path & directory)
{
  const fs::path metadata_path = directory / "metadata.yaml";
  if (fs::exists(metadata_path)) {
    const BagMetadata metadata = readBagMetadata(metadata_path.string());
    if (!metadata.compression_format.empty()) {
      throw BagError(
              directory.string() + ": compressed bags (" + metadata.compression_format + ", " +
              metadata.compression_mode + " mode) are not supported; decompress with ros2 bag convert");
    }
    std::vector<std::string> files;
    for (const std::string & relative : metadata.relative_file_paths) {
      const fs::path file = directory / relative;
      if (!fs::exists(file)) {
        throw BagError(directory.string() + ": " + relative + " named in metadata.yaml is missing");
      }
      files.push_back(file.string());
    }
    return openStorage(metadata.storage_identifier, files, directory.string());
  }
  const std::vector<std::string> db3 = filesWithExtension(directory, ".db3");
  const std::vector<std::string> mcap = filesWithExtension(directory, ".mcap");
  if (!db3.empty() && !mcap.empty()) {
    throw BagError(directory.string() + ": holds both .db3 and .mcap files and no metadata.yaml");
  }
  if (!db3.empty()) {
    return openStorage("sqlite3", db3, directory.string());
  }
  if (!mcap.empty()) {
    return openStorage("mcap", mcap, directory.string());
  }
  throw BagError(directory.string() + ": no metadata.yaml, .db3 or .mcap file");
}

}  // namespace

std::unique_ptr<BagReader> openBag(const std::string & path)
{
  const fs::path bag(path);
  std::error_code error;
  if (fs::is_directory(bag, error)) {
    return openDirectory(bag);
  }
  if (!fs::exists(bag, error)) {
    throw BagError(path + ": no such file or directory");
  }
  if (bag.extension() == ".mcap" || startsWithMcapMagic(bag)) {
    return openStorage("mcap", {path}, path);
  }
  return openStorage("sqlite3", {path}, path);
}

}  // namespace velmora_bag
