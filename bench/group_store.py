#!/usr/bin/env python3
# Writes the benchmarks' group store into the root ROOT: 10,000 users
# (u00000 ... u09999, each with a home and an account line) in 1,000 groups:
# 10 top groups T0 ... T9 of 99 sub-groups S0 ... S98 each, ten members per
# sub-group (user k is in sub-group k % 990), every user's own list, and one
# administrator per top group (user t * 997 of top group t).
#   bench/group_store.py ROOT [LDIF]
# With LDIF it also writes the same users and groups as LDAP entries below
# dc=example,dc=org (users uid=U,ou=people; groups by their name paths below
# ou=groups, members and the administrator as DNs in member and owner), the
# layout of the LDAP back end's default mapping. The suffix and the two OUs
# are scripts/slapd.sh's own.
import os, sys
root = sys.argv[1]
ldif_path = sys.argv[2] if len(sys.argv) > 2 else None
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

if ldif_path:
    people, groups = "ou=people,dc=example,dc=org", "ou=groups,dc=example,dc=org"
    with open(ldif_path, "w") as f:
        for u in users:
            f.write(f"dn: uid={u},{people}\nobjectClass: inetOrgPerson\nuid: {u}\ncn: {u}\nsn: {u}\n\n")
        for t in range(10):
            top = f"cn=T{t},{groups}"
            # A group with no member of its own names no one: groupOfNames needs a value,
            # and the empty DN is the usual placeholder.
            f.write(f"dn: {top}\nobjectClass: groupOfNames\ncn: T{t}\nmember:\n"
                    f"owner: uid={users[t * 997]},{people}\n\n")
            for s in range(99):
                members = [u for k, u in enumerate(users) if k % 990 == t * 99 + s]
                f.write(f"dn: cn=S{s},{top}\nobjectClass: groupOfNames\ncn: S{s}\n")
                f.writelines(f"member: uid={m},{people}\n" for m in members)
                f.write("\n")
