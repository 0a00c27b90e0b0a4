#!/usr/bin/env python3
# Writes the benchmarks' group store into the root ROOT: 10,000 users
# (u00000 ... u09999, each with a home and an account line) in 1,000 groups:
# 10 top groups T0 ... T9 of 99 sub-groups S0 ... S98 each, ten members per
# sub-group (user k is in sub-group k % 990), every user's own list, and one
# administrator per top group (user t * 997 of top group t).
#   bench/group_store.py ROOT
import os, sys
root = sys.argv[1]
for d in ("etc", "log", "tmp", "public/grp", "home"):
    os.makedirs(os.path.join(root, d), exist_ok=True)
grp = os.path.join(root, "public/grp")
users = [f"u{k:05d}" for k in range(10000)]
with open(os.path.join(root, "etc/passwd"), "w") as f:
    f.writelines(f"{u}:0:*\n" for u in users)
line = "{:x}\t{}\t\t\t\t0\t\t1700000000\t0\t0\n"
with open(os.path.join(grp, "Group.list"), "w") as f:
    f.writelines(line.format(t + 1, f"T{t}") for t in range(10))
lists = {u: [] for u in users}
for t in range(10):
    top = os.path.join(grp, f"{t + 1:x}")
    os.makedirs(top)
    with open(os.path.join(top, "Group.list"), "w") as f:
        f.writelines(line.format(s + 1, f"S{s}") for s in range(99))
    admin = users[t * 997]
    with open(os.path.join(top, "admin.list"), "w") as f:
        f.write(admin + "\n")
    lists[admin].append(f"+/{t + 1:x}")
    for s in range(99):
        sub = os.path.join(top, f"{s + 1:x}")
        os.makedirs(sub)
        members = [u for k, u in enumerate(users) if k % 990 == t * 99 + s]
        with open(os.path.join(sub, "user.list"), "w") as f:
            f.writelines(m + "\n" for m in members)
        for m in members:
            lists[m].append(f"/{t + 1:x}/{s + 1:x}")
for u, entries in lists.items():
    home = os.path.join(root, "home", u)
    os.makedirs(home)
    with open(os.path.join(home, "Group.list"), "w") as f:
        f.writelines(e + "\n" for e in entries)
