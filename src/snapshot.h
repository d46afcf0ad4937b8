// The telemetry of one metrics request: plain records of fixed size, shared
// by the collection side (which fills them) and the JSON side (which reads
// them). Nothing here is allocated; a snapshot lives in its request's storage.
#pragma once

constexpr int MAX_GPUS = 32;
constexpr int MAX_PROCS = 256;

// Text field sizes in bytes, terminator included. The uuid fields hold zero
// bytes from their terminator to their end, so that they can be compared
// whole: entries are zeroed as a whole when they are started, and a uuid is
// written once.
constexpr int UUID_SIZE = 64;
constexpr int NAME_SIZE = 96;
constexpr int DRIVER_SIZE = 48;
constexpr int SOURCE_SIZE = 16;
constexpr int MESSAGE_SIZE = 192;

constexpr const char *NO_GPU_MESSAGE = "No local NVIDIA/AMD GPU detected";

struct gpu_info {
    int index;            // as the source numbers it, not the array position
    char uuid[UUID_SIZE]; // empty when the source gives none (AMD)
    char name[NAME_SIZE];
    double util_gpu;      // percent; 0.0 when unreadable
    double mem_used_mb;   // MiB; 0.0 when unreadable
    double mem_total_mb;  // MiB; 0.0 when unreadable
    double temp_c;        // degrees Celsius, valid when has_temp
    double power_w;       // watts, valid when has_power
    double power_limit_w; // watts, valid when has_power_limit
    int has_temp;
    int has_power;
    int has_power_limit;
};

struct proc_info {
    char gpu_uuid[UUID_SIZE]; // ties the process to gpu_info.uuid; may be empty
    int pid;
    char name[NAME_SIZE];
    double used_mb; // MiB; 0.0 when unreadable
};

struct gpu_snapshot {
    gpu_info gpus[MAX_GPUS]; // entries past gpu_count stay all zero
    int gpu_count;
    proc_info procs[MAX_PROCS];
    int proc_count;
    char driver[DRIVER_SIZE]; // empty when no source reported one
    char source[SOURCE_SIZE]; // "none", "mock", "nvidia" or "amd"
    int available;            // 1 only when a source succeeded with a GPU
    int mocked;               // 1 when a fixture hook took part
    char message[MESSAGE_SIZE];
};
