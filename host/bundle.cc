#include "host/bundle.h"

#include <atomic>

namespace hx4_bundle_api {

namespace {

unsigned nextSubscriberId() {
  static std::atomic<unsigned> next{1};
  return next++;
}

boost::optional<ptree> child(const ptree& config, const char* name) {
  if (auto node = config.get_child_optional(name)) return *node;
  return boost::none;
}

}  // namespace

BundleClass::BundleClass(std::string plux, std::string cls, std::string label)
    : plux_(std::move(plux)), class_(std::move(cls)), label_(std::move(label)) {}

CustomDevice::CustomDevice(boost::shared_ptr<hx4_program_api::ProgramInterface> program,
                           const ptree& config)
    : BundleClass(config.get<std::string>("<xmlattr>.plux", ""),
                  config.get<std::string>("<xmlattr>.class", ""),
                  config.get<std::string>("<xmlattr>.label", "")),
      program_(std::move(program)),
      activation_params_(child(config, "activation")),
      mounting_params_(child(config, "mounting")),
      subscriber_id_(nextSubscriberId()) {}

CustomDevice::~CustomDevice() {
  if (program_) program_->signalBus().unsubscribe(subscriber_id_);
}

hx4_program_api::CmdResult<void*> CustomDevice::onActivate(const ptree& /*params*/) {
  return hx4_program_api::CmdResult<void*>::Success();
}

hx4_program_api::CmdResult<void*> CustomDevice::onDeactivate() {
  return hx4_program_api::CmdResult<void*>::Success();
}

hx4_program_api::CmdResult<void*> CustomDevice::onMount(const ptree& /*params*/) {
  return hx4_program_api::CmdResult<void*>::Success();
}

hx4_program_api::CmdResult<void*> CustomDevice::onUnmount() {
  return hx4_program_api::CmdResult<void*>::Success();
}

hx4_program_api::CmdResult<void*> CustomDevice::activate(const ptree& params) {
  try {
    return onActivate(params);
  } catch (const std::exception& e) {
    return hx4_program_api::CmdResult<void*>::Exception(-1, e.what());
  } catch (...) {
    return hx4_program_api::CmdResult<void*>::Exception(-1, "unknown exception");
  }
}

}  // namespace hx4_bundle_api

namespace hx4_bundle_api_internals {

BundleInstanceFactory& BundleInstanceFactory::instance() {
  // Never destroyed: static makers of plug-ins unregister from their own
  // destructors, which may run after this library's static destructors.
  static BundleInstanceFactory* factory = new BundleInstanceFactory();
  return *factory;
}

void BundleInstanceFactory::registerMaker(const std::string& name, IBundleInstanceMaker* maker) {
  std::lock_guard<std::mutex> lock(mutex_);
  makers_[name] = maker;
}

void BundleInstanceFactory::unregisterMaker(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  makers_.erase(name);
}

IBundleInstanceMaker* BundleInstanceFactory::findMaker(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = makers_.find(name);
  return it == makers_.end() ? nullptr : it->second;
}

std::vector<std::string> BundleInstanceFactory::names() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> out;
  for (const auto& entry : makers_) out.push_back(entry.first);
  return out;
}

}  // namespace hx4_bundle_api_internals
