// GPUs that the driver let go of without a word, found on the PCI bus: each
// case a made-up bus seen by the plugin alone (tests/support/pci_bus.h), its
// whole metrics document compared byte for byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expected.h"
#include "fake_tools.h"
#include "pci_bus.h"
#include "run_plugin.h"

namespace {

pci_function nvidia(const std::string &address, const std::string &cls, const std::string &driver) {
    return {address, "0x10de", cls, driver, false};
}
pci_function gpu(const std::string &address, const std::string &driver = "nvidia") {
    return nvidia(address, "0x030200", driver);
}

// The expected response with its message made the given one.
std::string with_message(std::string response, const std::string &message) {
    const std::string key = "\"message\":\"";
    size_t at = response.rfind(key) + key.size();
    return response.replace(at, response.rfind("\"}\n") - at, message);
}

// A metrics request on a node whose PCI bus the options show.
plugin_result metrics_seeing(const run_options &opt, const std::vector<std::string> &env) {
    return run_plugin(opt, with(env, {"QUERY_STRING=action=metrics"}));
}

TEST(PciBus, UnboundNvidiaGpusAreTold) {
    if (!pci_bind_refusal().empty())
        GTEST_SKIP() << pci_bind_refusal();
    const std::vector<std::string> three_gpus = with(nvidia_fixture_env(), {fakes_path()});
    const std::vector<std::string> no_devices = {
        fakes_path(), "FAKE_NVIDIA_GPU=" + data_dir() + "/captures/nvidia-no-devices.txt", "FAKE_NVIDIA_EXIT=6"};
    const std::vector<std::string> no_tools = {NO_TOOLS};
    const std::vector<std::string> csv = {NO_TOOLS, "VISTREL_MOCK_CSV=" + fixture("two-gpus.csv")};
    // The three GPUs that the fake nvidia-smi reports, on their bus.
    const std::vector<pci_function> held = {gpu("0000:18:00.0"), gpu("0000:3b:00.0"),
                                            nvidia("0000:86:00.0", "0x030000", "nvidia")};
    auto plus = [](std::vector<pci_function> functions, std::initializer_list<pci_function> more) {
        functions.insert(functions.end(), more);
        return functions;
    };
    const struct {
        const char *what;
        std::vector<pci_function> functions;
        std::vector<std::string> env;
        const char *expected;
        const char *message; // nullptr: the expected response's own
    } cases[] = {
        {"a healthy node: GPUs, their audio functions and a bridge held, a host bridge without a driver",
         plus(held, {nvidia("0000:18:00.1", "0x040300", "snd_hda_intel"),
                     nvidia("0000:05:00.0", "0x068000", "nvidia"),
                     {"0000:00:00.0", "0x8086", "0x060000", "", false}}),
         three_gpus, "metrics-nvidia", nullptr},
        {"a lost GPU beside held ones", plus(held, {gpu("0000:af:00.0", "")}), three_gpus, "metrics-nvidia",
         "NVIDIA GPU on the PCI bus without a driver: 0000:af:00.0"},
        // Made in neither order nor its reverse: the folder lists them in
        // an order of its own, and sysfs promises none.
        {"three lost, in the order of their addresses",
         plus(held, {gpu("0000:41:00.0", ""), gpu("0000:0b:00.0", ""), gpu("0000:af:00.0", "")}), three_gpus,
         "metrics-nvidia", "NVIDIA GPUs on the PCI bus without a driver: 0000:0b:00.0, 0000:41:00.0, 0000:af:00.0"},
        {"the only GPU lost, and nvidia-smi finds none",
         {gpu("0000:0b:00.0", ""), nvidia("0000:0b:00.1", "0x040300", "")},
         no_devices,
         "metrics-no-devices",
         "NVIDIA GPU on the PCI bus without a driver: 0000:0b:00.0; nvidia-smi: exit status 6: No devices were found"},
        {"the only GPU lost, no tool installed",
         {gpu("0000:0b:00.0", "")},
         no_tools,
         "metrics-none",
         "NVIDIA GPU on the PCI bus without a driver: 0000:0b:00.0"},
        {"a lost GPU on a node that a CSV fixture serves instead of probing",
         {gpu("0000:0b:00.0", "")},
         csv,
         "metrics-csv",
         nullptr},
        {"GPUs given to vfio-pci and nouveau",
         {gpu("0000:0b:00.0", "vfio-pci"), gpu("0000:0c:00.0", "nouveau")},
         no_tools,
         "metrics-none",
         nullptr},
        {"no NVIDIA GPU without a driver: audio, an NVSwitch bridge, another vendor's display controller",
         {nvidia("0000:0b:00.1", "0x040300", ""),
          nvidia("0000:05:00.0", "0x068000", ""),
          {"0000:c1:00.0", "0x1002", "0x030000", "", false}},
         no_tools,
         "metrics-none",
         nullptr},
        {"virtual functions of a partitioned GPU without a driver",
         plus(held,
              {{"0000:18:00.4", "0x10de", "0x030200", "", true}, {"0000:18:00.5", "0x10de", "0x030200", "", true}}),
         three_gpus, "metrics-nvidia", nullptr},
        {"a container's view: eight GPUs held, three of them given to it",
         plus(held, {gpu("0000:5e:00.0"), gpu("0000:af:00.0"), gpu("0000:d8:00.0"), gpu("0000:db:00.0"),
                     gpu("0000:dc:00.0")}),
         three_gpus, "metrics-nvidia", nullptr},
    };
    for (const auto &c : cases) {
        pci_bus bus(c.functions);
        plugin_result r = metrics_seeing(seeing(bus.devices()), c.env);
        EXPECT_EQ(r.status, 0) << c.what << (r.status == 125 ? ": the bus could not be bound" : "");
        EXPECT_EQ(r.err, "") << c.what;
        const std::string want = c.message ? with_message(expected(c.expected), c.message) : expected(c.expected);
        EXPECT_EQ(with_utc_placeholder(r.out), want) << c.what;
    }
}

// A system without the folder (no /sys, another kernel's layout) has nothing
// to tell.
TEST(PciBus, NoFolderTellsNothing) {
    if (!pci_bind_refusal().empty())
        GTEST_SKIP() << pci_bind_refusal();
    scratch_dir no_devices("pci");
    plugin_result r = metrics_seeing(seeing(no_devices.path(), "/sys/bus/pci"), {NO_TOOLS});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(with_utc_placeholder(r.out), expected("metrics-none"));
}

} // namespace
