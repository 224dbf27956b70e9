// A power-loss model for tests, fed by the flush observer (set_flush_observer): what a
// directory would hold if the power failed at this instant, assuming the worst the
// system allows. A file's bytes count as of its last fdatasync, a name as of its
// directory's last fsync; a name whose file was never synced holds nothing.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "file_io.h"

namespace vendrel {

class PowerLossModel {
 public:
  // Watches `directory` from now on, taking what it holds now as durable; `at_flush`,
  // when given, runs after each flush event has been taken into the model (a test
  // snapshots the image there).
  explicit PowerLossModel(std::string directory, std::function<void(const FlushEvent&)> at_flush = {})
      : directory_(std::move(directory)), at_flush_(std::move(at_flush)) {
    for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
      const std::string path = entry.path().string();
      std::ifstream in(path, std::ios::binary);
      synced_bytes_[inode_of(path)] = std::string(std::istreambuf_iterator<char>(in), {});
      durable_names_[entry.path().filename().string()] = inode_of(path);
    }
    set_flush_observer([this](const FlushEvent& event) { observe(event); });
  }
  ~PowerLossModel() { set_flush_observer({}); }
  PowerLossModel(const PowerLossModel&) = delete;
  PowerLossModel& operator=(const PowerLossModel&) = delete;

  // The durable image: file name -> bytes.
  std::map<std::string, std::string> image() const {
    std::map<std::string, std::string> files;
    for (const auto& [name, inode] : durable_names_) {
      auto bytes = synced_bytes_.find(inode);
      files[name] = bytes == synced_bytes_.end() ? std::string() : bytes->second;
    }
    return files;
  }

  // Writes the durable image into the empty directory `target`.
  void materialize(const std::string& target) const {
    for (const auto& [name, bytes] : image()) std::ofstream(target + "/" + name, std::ios::binary) << bytes;
  }

 private:
  static ino_t inode_of(const std::string& path) {
    struct stat status{};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
  }

  void observe(const FlushEvent& event) {
    if (event.kind == FlushKind::kDataSync) {
      std::ifstream in(event.path, std::ios::binary);
      synced_bytes_[inode_of(event.path)] = std::string(std::istreambuf_iterator<char>(in), {});
    } else if (event.kind == FlushKind::kDirectorySync &&
               std::filesystem::equivalent(event.path, directory_)) {
      durable_names_.clear();
      for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
        durable_names_[entry.path().filename().string()] = inode_of(entry.path().string());
      }
    }
    if (at_flush_) at_flush_(event);
  }

  std::string directory_;
  std::function<void(const FlushEvent&)> at_flush_;
  std::map<ino_t, std::string> synced_bytes_;
  std::map<std::string, ino_t> durable_names_;
};

}  // namespace vendrel
