"""Turns the benchmark's raw results into a table of medians and ratios to lsmac,
the goal figures, and the data file for the plot."""
import glob
import json
import os
import platform
import statistics
import sys

out, sizes = sys.argv[1], [int(s) for s in sys.argv[2].split()]
tools = ["lsmac", "reference", "no-op", "getifaddrs", "ip -o link", "ifconfig -a",
         "cat /sys/class/net/*/address"]


def read(name):
    with open(os.path.join(out, name)) as f:
        return f.read()


median = {}  # (size, tool) -> ms for one run, over the samples of every round
for size in sizes:
    repeat = int(read(f"{size}.repeat"))
    samples = {}
    for path in glob.glob(os.path.join(out, f"{size}.*.json")):
        with open(path) as f:
            for result in json.load(f)["results"]:
                samples.setdefault(result["command"], []).extend(result["times"])
    for tool, times in samples.items():
        median[size, tool] = statistics.median(times) * 1000 / repeat
rss = {size: dict(line.split("\t") for line in read(f"{size}.rss").split("\n") if line)
       for size in sizes}


def ratio(size, tool, to="lsmac"):
    return median[size, tool] / median[size, to]


cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
            if line.startswith("model name")), platform.machine())
print(f"Machine: {cpu}, {os.cpu_count()} cores, Linux {platform.release()}.\n")
print("Median wall time of one run, in ms, and its ratio to lsmac's:\n")
print("| adapters | " + " | ".join(f"`{t}`" for t in tools) + " |")
print("|---:|" + "---:|" * len(tools))
for size in sizes:
    print(f"| {size} | " + " | ".join(
        f"{median[size, t]:.3f} ({ratio(size, t):.2f}x)" for t in tools) + " |")

print("\nGoals:\n")
if 1 in sizes:
    print(f"- Start-up, 1 adapter: lsmac / static no-op = {1 / ratio(1, 'no-op'):.2f} (goal <= 1.2)")
one_dump = [s for s in sizes if s <= 400]
if one_dump:
    print("- One dump, up to 400 adapters: lsmac / reference = " + ", ".join(
        f"{1 / ratio(s, 'reference'):.2f} at {s}" for s in one_dump) + " (goal <= 1.1)")
if 4000 in sizes:
    print(f"- 4,000 adapters: lsmac / reference = {1 / ratio(4000, 'reference'):.2f} (goal <= 2.2); "
          + ", ".join(f"`{t}` / lsmac = {ratio(4000, t):.1f}"
                      for t in ["ip -o link", "ifconfig -a", "cat /sys/class/net/*/address", "getifaddrs"])
          + " (goal: `ip -o link` >= 2)")
    print(f"- Peak resident size at 4,000 adapters, KiB: " + ", ".join(
        f"{t} {rss[4000][t]}" for t in tools) + " (goal: lsmac below `ip -o link`)")
if 4000 in sizes and 8000 in sizes:
    print(f"- Linear: lsmac at 8,000 / at 4,000 = {median[8000, 'lsmac'] / median[4000, 'lsmac']:.2f} "
          "(goal about 2)")
if os.path.exists(os.path.join(out, "instructions")):
    counts = dict(line.split("\t") for line in read("instructions").split("\n") if line)
    print("- User-space instructions at 16 adapters (callgrind): " + ", ".join(
        f"{t} {int(n):,}" for t, n in counts.items()))

with open(os.path.join(out, "time.dat"), "w") as data:
    data.write("adapters " + " ".join(f'"{t}"' for t in tools) + "\n")
    for size in sizes:
        data.write(f"{size} " + " ".join(f"{median[size, t]:.4f}" for t in tools) + "\n")
