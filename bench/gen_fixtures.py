#!/usr/bin/env python3
"""Writes the CSV fixtures the bench reads.

  gen_fixtures.py many OUT        32 GPUs and 256 compute processes, the most
                                  one snapshot holds (committed as
                                  bench/fixtures/32-gpus-256-procs.csv)
  gen_fixtures.py big OUT BYTES   the same rows, then filler rows past both
                                  capacities and some lines longer than the
                                  line buffer, up to BYTES bytes (built at
                                  bench time, not committed)

The output is the same on every run: no clock, no randomness.
"""
import sys

GPU_MODELS = ["NVIDIA H100 80GB HBM3", "NVIDIA A100-SXM4-80GB", "NVIDIA L40S", "NVIDIA H200"]
APP_NAMES = ["python3", "/usr/bin/python3.11", "./gpu_burn", "/opt/tritonserver/bin/tritonserver",
             "torchrun --nproc_per_node=8 train.py", "vllm serve", "ollama_llama_server"]


def uuid(i):
    return "GPU-%08x-%04x-4%03x-8%03x-%012x" % (0x5e7f4c1a + i * 7919, i * 31 % 0x10000,
                                                i * 17 % 0x1000, i * 13 % 0x1000, 0x6c9d0b7e1f42 + i)


def many_rows():
    rows = ["# 32 GPUs and 256 compute processes: every slot of one snapshot in use"]
    for i in range(32):
        util = (i * 37) % 101
        total = 81559 if i % 4 != 1 else 81920
        used = (i * 2531) % total
        temp = "N/A" if i % 11 == 7 else "%d" % (30 + i * 3 % 55)
        power = "[N/A]" if i % 13 == 5 else "%.2f" % (70 + i * 19.37 % 600)
        limit = "[Not Supported]" if i % 17 == 3 else "700.00"
        rows.append("GPU,%d,%s,%s,%d,%d,%d,%s,%s,%s,590.48.01"
                    % (i, uuid(i), GPU_MODELS[i % len(GPU_MODELS)], util, used, total, temp, power, limit))
    for j in range(256):
        gpu = uuid(j % 32) if j % 41 != 40 else ""  # a few with no GPU uuid
        name = APP_NAMES[j % len(APP_NAMES)]
        used = "N/A" if j % 29 == 28 else "%d" % (256 + j * 977 % 70000)
        rows.append("APP,%s,%d,%s,%s" % (gpu, 10000 + j * 131, name, used))
    return rows


def write_many(path):
    with open(path, "w", newline="\n") as f:
        f.write("\n".join(many_rows()) + "\n")


def write_big(path, size):
    head = "\n".join(many_rows()) + "\n"
    # Rows past both capacities: read, split and dropped. Every 64th block
    # also has a line of 300 000 bytes, longer than the 131 072-byte line
    # buffer, which the reader takes in pieces.
    block = []
    for k in range(64):
        block.append("GPU,%d,%s,Filler GPU,50,1000,81559,40,100.00,700.00,590.48.01" % (32 + k, uuid(32 + k)))
        block.append("APP,%s,%d,filler_process_%d,1024" % (uuid(k % 32), 900000 + k, k))
        block.append("# filler comment %d" % k)
    block = "\n".join(block) + "\n"
    long_line = "APP," + "x" * 299996 + "\n"
    with open(path, "w", newline="\n") as f:
        f.write(head)
        written = len(head)
        n = 0
        while written < size:
            piece = long_line if n % 64 == 63 else block
            piece = piece[: size - written] if written + len(piece) > size else piece
            f.write(piece)
            written += len(piece)
            n += 1


def main(argv):
    if len(argv) == 3 and argv[1] == "many":
        write_many(argv[2])
    elif len(argv) == 4 and argv[1] == "big":
        write_big(argv[2], int(argv[3]))
    else:
        sys.stderr.write(__doc__)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
