// Makes the device class known to the host: at library load the maker is
// built and registered under the class name; at unload its destructor
// unregisters it.
#include "device/vorel_ft_sensor.h"

namespace {

const hx4_bundle_api_internals::BundleInstanceMaker<vorel_device::VorelFTSensor> maker(
    "vorel_device::VorelFTSensor");

}  // namespace
