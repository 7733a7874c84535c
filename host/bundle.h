// The plug-in frame of the host (libhx4_program_api): device base class,
// makers and the process-wide maker factory, and the argument provider that
// reads a device's parameter trees.
//
// A device configuration is an XML tree such as
//   <device class="vorel_device::VorelFTSensor" label="ft_sensor" plux="vorel">
//     <activation><arg type="string">/dev/ttyUSB0</arg>...</activation>
//     <mounting><arg type="load">...</arg>...</mounting>
//   </device>
// The host creates the device through the maker registered under its class,
// passing the <device> node; activation and mounting are its optional
// parameter trees.
#pragma once

#include <boost/optional.hpp>
#include <boost/property_tree/ptree.hpp>
#include <boost/shared_ptr.hpp>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/cmd_result.h"
#include "host/events.h"
#include "host/program_interface.h"
#include "host/program_values.h"
#include "host/signals.h"

namespace hx4_bundle_api {

using boost::property_tree::ptree;

// Identity of a bundle instance: its plug-in (plux), class and label.
class BundleClass {
 public:
  BundleClass(std::string plux, std::string cls, std::string label);
  virtual ~BundleClass() = default;

  const std::string& getPlux() const { return plux_; }
  const std::string& getClass() const { return class_; }
  const std::string& getLabel() const { return label_; }

 private:
  std::string plux_;
  std::string class_;
  std::string label_;
};

// Base class of devices. The host drives a device through its lifecycle:
// create (constructor, onCreate), bind, mount, activate (directly or through
// the hardware-ready signal), deactivate, unmount, unbind, destroy (onDestroy,
// then release). The lifecycle operations here do nothing and succeed.
class CustomDevice : public BundleClass {
 public:
  // `config` is the device's configuration node; its attributes class, label
  // and plux give the identity, its children activation and mounting the
  // optional parameter trees.
  CustomDevice(boost::shared_ptr<hx4_program_api::ProgramInterface> program, const ptree& config);
  // Removes the device's subscriptions from the signal bus.
  ~CustomDevice() override;

  virtual int onCreate() { return 0; }
  virtual int onDestroy() { return 0; }
  virtual int onBind() { return 0; }
  virtual int onUnbind() { return 0; }
  virtual hx4_program_api::CmdResult<void*> onActivate(const ptree& params);
  virtual hx4_program_api::CmdResult<void*> onDeactivate();
  virtual hx4_program_api::CmdResult<void*> onMount(const ptree& params);
  virtual hx4_program_api::CmdResult<void*> onUnmount();

  // Activation entry point: calls onActivate with `params` and returns its
  // result. An exception leaving onActivate becomes a result of kind 1
  // (exception) with code -1 and the exception's text ("unknown exception" for
  // one that is not a std::exception).
  hx4_program_api::CmdResult<void*> activate(const ptree& params);

  const boost::optional<ptree>& activationParams() const { return activation_params_; }
  const boost::optional<ptree>& mountingParams() const { return mounting_params_; }
  // Host side: sets or clears the parameter trees.
  void setActivationParams(const boost::optional<ptree>& params) { activation_params_ = params; }
  void setMountingParams(const boost::optional<ptree>& params) { mounting_params_ = params; }

  const boost::shared_ptr<hx4_program_api::ProgramInterface>& program() const { return program_; }
  // The bus on which the device publishes its error events.
  hx4_program_api_internals::EventBus& eventBus() { return program_->eventBus(); }
  // The bus on which the device registers its signal handlers.
  hx4_program_api_internals::EventBus& signalBus() { return program_->signalBus(); }
  // The device's subscriber id on the signal bus; unique in the process.
  unsigned subscriberId() const { return subscriber_id_; }

 private:
  boost::shared_ptr<hx4_program_api::ProgramInterface> program_;
  boost::optional<ptree> activation_params_;
  boost::optional<ptree> mounting_params_;
  unsigned subscriber_id_;
};

// Reads positional arguments from a parameter tree: the <arg> children in
// document order, each with a type attribute:
//   <arg type="string">text</arg>        <arg type="double">500</arg>
//   <arg type="load"><mass>kg</mass><cog>x y z</cog>[<inertia>6 values</inertia>]</arg>
//   <arg type="rpose"><pos>x y z</pos><rpy>roll pitch yaw</rpy></arg>
// A missing index or another type throws hx4_bundle::Error (code -1) whose
// message names the index and the expected type; so does a value that does not
// parse. White space around a double is ignored; "nan" and "inf" are numbers.
class ArgProviderXml {
 public:
  explicit ArgProviderXml(const ptree& params);

  std::size_t getArgCount() const { return args_.size(); }
  std::string getString(std::size_t index) const;
  double getDouble(std::size_t index) const;
  hx4_program_api::RobotPose getRPose(std::size_t index) const;
  hx4_program_api::Load getLoad(std::size_t index) const;

 private:
  const ptree& arg(std::size_t index, const char* type) const;

  std::vector<ptree> args_;
};

}  // namespace hx4_bundle_api

namespace hx4_bundle_api_internals {

class IBundleInstanceMaker {
 public:
  virtual boost::shared_ptr<hx4_bundle_api::CustomDevice> create(
      boost::shared_ptr<hx4_program_api::ProgramInterface> program,
      const boost::property_tree::ptree& config) const = 0;
  virtual ~IBundleInstanceMaker() = default;
};

// The process-wide registry of makers by class name.
class BundleInstanceFactory {
 public:
  static BundleInstanceFactory& instance();

  // Registers `maker` under `name`, replacing an earlier maker of that name.
  void registerMaker(const std::string& name, IBundleInstanceMaker* maker);
  void unregisterMaker(const std::string& name);
  // The maker registered under `name`, or nullptr.
  IBundleInstanceMaker* findMaker(const std::string& name) const;
  std::vector<std::string> names() const;

 private:
  BundleInstanceFactory() = default;
  mutable std::mutex mutex_;
  std::map<std::string, IBundleInstanceMaker*> makers_;
};

// A maker for device class T. Constructing it registers it under `name` with
// the factory; destroying it (at library unload, for a static maker)
// unregisters the name.
template <class T>
class BundleInstanceMaker : public IBundleInstanceMaker {
 public:
  explicit BundleInstanceMaker(std::string name) : name_(std::move(name)) {
    BundleInstanceFactory::instance().registerMaker(name_, this);
  }
  ~BundleInstanceMaker() override { BundleInstanceFactory::instance().unregisterMaker(name_); }

  boost::shared_ptr<hx4_bundle_api::CustomDevice> create(
      boost::shared_ptr<hx4_program_api::ProgramInterface> program,
      const boost::property_tree::ptree& config) const override {
    return boost::shared_ptr<hx4_bundle_api::CustomDevice>(new T(program, config));
  }

  const std::string& name() const { return name_; }

 private:
  std::string name_;
};

}  // namespace hx4_bundle_api_internals
