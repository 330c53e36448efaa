#include "CardWorld.h"

#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

namespace quillon::test {

namespace fs = std::filesystem;

CardWorld::CardWorld(bool pcscdDebug) : root_(stick_.tree().root()) {
  PcscdFixture::Options options = PcscdFixture::builtDriver(stick_.config());
  options.debug = pcscdDebug;
  pcscd_ = std::make_unique<PcscdFixture>(options);
  fs::create_directories(scratch());
  fs::permissions(scratch(), fs::perms::owner_all, fs::perm_options::replace);
}

fs::path CardWorld::scratch() const { return root_ / "scratch"; }

fs::path CardWorld::writeFile(const std::string& name, const std::string& content) const {
  const fs::path file = scratch() / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  if (!out) throw std::runtime_error("cannot write " + file.string());
  ::chmod(file.c_str(), 0600);
  return file;
}

std::vector<std::string> CardWorld::environment() const {
  std::vector<std::string> env = pcscd_->environment();
  const reader::ReaderConfig config = stick_.config();
  env.push_back("QUILLON_PROC_ROOT=" + config.procRoot);
  env.push_back("QUILLON_SYS_ROOT=" + config.sysRoot);
  // Whatever a tool keeps in its home (OpenSC's file cache, when configured)
  // stays in the world and goes with it.
  env.push_back("HOME=" + scratch().string());
  return env;
}

ProcessResult CardWorld::run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) const {
  return runProcess(argv, environment(), timeout);
}

ProcessResult CardWorld::card(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {cardProgram()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

std::string CardWorld::cardProgram() { return QUILLON_CARD; }

}  // namespace quillon::test
