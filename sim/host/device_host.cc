#include "sim/host/device_host.h"

#include <dlfcn.h>

#include <boost/any.hpp>
#include <stdexcept>
#include <thread>

namespace vorel_sim {

namespace {

// Subscriber id of the host's own listeners on the device's buses (device ids
// count up from 1).
constexpr unsigned kHostSubscriber = 0x80000001u;

const char* kMakerName = "vorel_device::VorelFTSensor";

}  // namespace

DeviceHost::DeviceHost(Print print) : print_(std::move(print)) {}

DeviceHost::~DeviceHost() {
  release();
}

void DeviceHost::say(const std::string& text) const {
  if (print_)
    print_("[host] " + text);
}

void DeviceHost::load(const std::string& library_path) {
  say("loading " + library_path);
  library_ = ::dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library_) {
    const char* error = ::dlerror();
    throw std::runtime_error("cannot load the device library: " +
                             std::string(error ? error : library_path));
  }
  library_path_ = library_path;
  if (!hx4_bundle_api_internals::BundleInstanceFactory::instance().findMaker(kMakerName)) {
    ::dlclose(library_);
    library_ = nullptr;
    throw std::runtime_error(library_path + " registers no maker for \"" + kMakerName + "\"");
  }
  say(std::string("maker \"") + kMakerName + "\" found");
}

void DeviceHost::create(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                        const DeviceConfig& config) {
  auto* maker = hx4_bundle_api_internals::BundleInstanceFactory::instance().findMaker(kMakerName);
  if (!maker)
    throw std::runtime_error("the device library is not loaded");
  program_ = std::move(program);
  config_ = config;
  // The streams are the host's: created here, they hold no code of the plug-in.
  program_->signalBus().findOrCreateStream<hx4_signal::HWReady>();
  program_->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>();
  program_->signalBus().findOrCreateStream<hx4_signal::Alarm>();
  auto on_error = [this](const std::string& kind, const hx4_bundle::BundleEvent& event) {
    std::lock_guard<std::mutex> lock(events_mutex_);
    device_error_ = kind + " " + std::to_string(event.code()) + ": " + event.message();
  };
  program_->eventBus().findOrCreateStream<hx4_bundle::Error>()->registerCallback(
      kHostSubscriber, boost::any(std::function<void(const hx4_bundle::Error&)>(
                           [on_error](const hx4_bundle::Error& e) { on_error("error", e); })));
  program_->eventBus().findOrCreateStream<hx4_bundle::Exception>()->registerCallback(
      kHostSubscriber,
      boost::any(std::function<void(const hx4_bundle::Exception&)>(
          [on_error](const hx4_bundle::Exception& e) { on_error("exception", e); })));

  say("creating the device: " + config.describe());
  auto created = maker->create(program_, config.node());
  if (!created)
    throw std::runtime_error("the maker created no device");
  if (created->getClass() != kMakerName) {
    throw std::runtime_error("the maker created a device of class \"" + created->getClass() + "\"");
  }
  device_ = boost::static_pointer_cast<vorel_device::VorelFTSensor>(created);
}

int DeviceHost::onCreate() {
  const int result = device_->onCreate();
  say("onCreate -> " + std::to_string(result));
  return result;
}

bool DeviceHost::onMount() {
  if (!config_->hasMounting()) {
    say("onMount skipped: the configuration has no <mounting> parameters");
    return false;
  }
  const auto result = device_->onMount(config_->node().get_child("mounting"));
  say(std::string("onMount -> ") + (result.ok() ? "success" : "error: " + result.message()) +
      " (tool load written to \"toolload\")");
  return result.ok();
}

std::optional<std::string> DeviceHost::activateThroughHWReady(const OutputMonitor& monitor,
                                                              std::chrono::milliseconds guard) {
  if (!config_->hasActivation()) {
    return std::string(
        "the configuration has no <activation> parameters: the device does not "
        "activate");
  }
  const auto started_before = monitor.count("adaptive_started").lines;
  say("publishing HWReady: the device activates");
  program_->signalBus().findOrCreateStream<hx4_signal::HWReady>()->publish(
      boost::any(hx4_signal::HWReady{}));
  const auto deadline = std::chrono::steady_clock::now() + guard;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(events_mutex_);
      if (device_error_)
        return "activation failed: " + *device_error_;
    }
    if (monitor.waitForLine("adaptive_started", started_before + 1,
                            std::chrono::milliseconds(10))) {
      say("activation finished: force-control thread running");
      return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return std::string("no activation within ") + std::to_string(guard.count()) + " ms";
    }
  }
}

int DeviceHost::onBind() {
  const int result = device_->onBind();
  say("onBind -> " + std::to_string(result));
  return result;
}

bool DeviceHost::publishProgramTerminated(std::chrono::milliseconds guard) {
  if (!terminated_.exchange(true)) {
    say("publishing ProgramTerminated");
    program_->signalBus().findOrCreateStream<hx4_signal::ProgramTerminated>()->publish(
        boost::any(hx4_signal::ProgramTerminated{}));
  }
  const auto deadline = std::chrono::steady_clock::now() + guard;
  while (device_->programRunning()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

int DeviceHost::onUnbind() {
  const int result = device_->onUnbind();
  say("onUnbind -> " + std::to_string(result));
  return result;
}

void DeviceHost::onDeactivate() {
  const auto result = device_->onDeactivate();
  say(std::string("onDeactivate -> ") + (result.ok() ? "success" : "error: " + result.message()));
}

int DeviceHost::onDestroy() {
  const int result = device_->onDestroy();
  say("onDestroy -> " + std::to_string(result));
  return result;
}

void DeviceHost::release() {
  if (device_) {
    device_.reset();
    say("device released");
  }
  if (program_) {
    program_->eventBus().unsubscribe(kHostSubscriber);
    program_.reset();
  }
  if (library_) {
    ::dlclose(library_);
    library_ = nullptr;
    say("unloaded " + library_path_);
  }
}

}  // namespace vorel_sim
