// A made-up PCI bus: a folder of PCI functions laid out as the kernel's
// /sys/bus/pci/devices is (an entry per function, a link to its folder,
// vendor and class files, a driver link where a driver holds it), bound
// over that folder for one plugin run, in a mount namespace of the run's
// own, so the machine's real bus is never touched.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "files.h"
#include "run_plugin.h"

const char *const PCI_DEVICES = "/sys/bus/pci/devices";

struct pci_function {
    std::string address; // "0000:0b:00.0"
    std::string vendor;  // "0x10de"
    std::string cls;     // "0x030200"
    std::string driver;  // the driver that holds it; empty: none
    bool is_virtual;     // a virtual function of a partitioned GPU (a physfn link)
};

// The functions' folders under all/, and devices/ with a link to each, as
// the kernel links /sys/bus/pci/devices/* to /sys/devices/pci*/*.
class pci_bus {
  public:
    explicit pci_bus(const std::vector<pci_function> &functions) : dir_("pci") {
        mkdir(dir_.file("all").c_str(), 0755);
        mkdir(devices().c_str(), 0755);
        for (const pci_function &f : functions) {
            const std::string at = dir_.file("all/" + f.address);
            mkdir(at.c_str(), 0755);
            write_file(at + "/vendor", f.vendor + "\n");
            write_file(at + "/class", f.cls + "\n");
            // The kernel's links point into its folder of drivers, which the
            // made-up bus has not: the link itself is what tells.
            if (!f.driver.empty())
                linked(at + "/driver", "../../../bus/pci/drivers/" + f.driver);
            if (f.is_virtual)
                linked(at + "/physfn", "../0000:3a:00.0");
            // Absolute: once bound, the folder's ".." is the kernel's.
            linked(devices() + "/" + f.address, at);
        }
    }
    std::string devices() const { return dir_.file("devices"); }

  private:
    static void linked(const std::string &link, const std::string &target) {
        if (symlink(target.c_str(), link.c_str()) != 0)
            std::perror(link.c_str());
    }
    scratch_dir dir_;
};

// In the calling process: a mount namespace of its own in which folder is
// seen at target. False when the kernel refuses.
inline bool bind_over(const std::string &folder, const char *target) {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount(folder.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

// Why a run cannot have a bus of its own here, or empty when it can: tried
// once, in a child, on an empty folder.
inline std::string pci_bind_refusal() {
    static const std::string refusal = [] {
        scratch_dir empty("pci-probe");
        pid_t pid = fork();
        if (pid == 0)
            _exit(bind_over(empty.path(), PCI_DEVICES) ? 0 : errno);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return std::string();
        return std::string("the kernel refuses a mount namespace binding a folder over ") + PCI_DEVICES + ": " +
               std::strerror(WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL);
    }();
    return refusal;
}

// Run options whose plugin sees folder at target.
inline run_options seeing(const std::string &folder, const char *target = PCI_DEVICES) {
    run_options opt;
    opt.before_exec = [folder, target] { return bind_over(folder, target); };
    return opt;
}
