#!/usr/bin/env python3
"""LDIF of users and groups in the layout the LDAP directory back end reads.

Users are inetOrgPerson entries uid=ID,<people base>; groups are groupOfNames
entries whose DNs follow the name path: /Sales/East is
cn=East,cn=Sales,<group base>. Members and owners are user DNs; a group
without members holds the empty DN as its one member value.

  ldif-directory.py [--suffix DN] [--people DN] [--groups DN] [--ou DN]...
                    [--user ID[:GIVEN:SURNAME:MAIL]]... [--users N]
                    [--group PATH]... [--member PATH UID]... [--owner PATH UID]...
                    [--tree DEPTH:FANOUT] [--spread K] [--unique]

--ou makes an organizationalUnit entry (given in full), before anything else.
--users N makes user00001 ... and --tree DEPTH:FANOUT a tree of groups
/g1, /g1/g1 ...; --spread K puts each numbered user into K groups of the
tree, chosen by its number (the same every run). --unique writes
groupOfUniqueNames with uniqueMember instead. Parents of a group are made
when missing. The LDIF goes to standard output.
"""
import argparse
import base64
import sys


def escape_dn_value(value):
    """RFC 4514: a value as it stands in a DN."""
    out = []
    for i, ch in enumerate(value):
        if ch in ',+"\\<>;=' or (ch == '#' and i == 0) or (ch == ' ' and i in (0, len(value) - 1)):
            out.append('\\' + ch)
        elif ord(ch) < 0x20 or ch == '\x7f':
            out.append('\\%02x' % ord(ch))
        else:
            out.append(ch)
    return ''.join(out)


def ldif_line(attr, value):
    safe = value == '' or (
        value[0] not in ' :<' and value[-1] != ' ' and all(0x20 <= ord(c) < 0x7f for c in value))
    if safe:
        return '%s: %s' % (attr, value) if value else '%s:' % attr
    return '%s:: %s' % (attr, base64.b64encode(value.encode('utf-8')).decode('ascii'))


class Directory:
    def __init__(self, args):
        self.args = args
        self.entries = []
        self.groups = {}  # path -> {'members': [...], 'owners': [...]}
        self.group_order = []
        self.users = []

    def user_dn(self, uid):
        return 'uid=%s,%s' % (escape_dn_value(uid), self.args.people)

    def group_dn(self, path):
        names = [n for n in path.split('/') if n]
        dn = self.args.groups
        for name in names:
            dn = 'cn=%s,%s' % (escape_dn_value(name), dn)
        return dn

    def group(self, path):
        if not path.startswith('/') or path == '/':
            raise SystemExit('ldif-directory.py: a group path starts with "/" and names a group: %r' % path)
        names = [n for n in path.split('/') if n]
        for depth in range(1, len(names) + 1):
            p = '/' + '/'.join(names[:depth])
            if p not in self.groups:
                self.groups[p] = {'members': [], 'owners': []}
                self.group_order.append(p)
        return self.groups['/' + '/'.join(names)]

    def add_user(self, text):
        uid, given, surname, mail = (text.split(':') + ['', '', ''])[:4]
        self.users.append((uid, given or uid, surname or uid, mail or uid + '@example.org'))

    def write(self, out):
        for ou in self.args.ou:
            rdn_value = ou.split(',', 1)[0].split('=', 1)[1]
            out.write('dn: %s\nobjectClass: organizationalUnit\nou: %s\n\n' % (ou, rdn_value))
        for uid, given, surname, mail in self.users:
            lines = [ldif_line('dn', self.user_dn(uid)), 'objectClass: inetOrgPerson', ldif_line('uid', uid),
                     ldif_line('cn', given + ' ' + surname), ldif_line('sn', surname),
                     ldif_line('givenName', given), ldif_line('mail', mail)]
            out.write('\n'.join(lines) + '\n\n')
        cls, attr = ('groupOfUniqueNames', 'uniqueMember') if self.args.unique else (
            'groupOfNames', 'member')
        for path in self.group_order:
            g = self.groups[path]
            name = path.rsplit('/', 1)[1]
            lines = [ldif_line('dn', self.group_dn(path)), 'objectClass: ' + cls, ldif_line('cn', name)]
            members = [self.user_dn(u) for u in dict.fromkeys(g['members'])] or ['']
            lines += [ldif_line(attr, m) for m in members]
            lines += [ldif_line('owner', self.user_dn(u)) for u in dict.fromkeys(g['owners'])]
            out.write('\n'.join(lines) + '\n\n')


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    p.add_argument('--suffix', default='dc=example,dc=org')
    p.add_argument('--people')
    p.add_argument('--groups')
    p.add_argument('--ou', action='append', default=[])
    p.add_argument('--user', action='append', default=[])
    p.add_argument('--users', type=int, default=0)
    p.add_argument('--group', action='append', default=[])
    p.add_argument('--member', action='append', nargs=2, default=[])
    p.add_argument('--owner', action='append', nargs=2, default=[])
    p.add_argument('--tree', default='')
    p.add_argument('--spread', type=int, default=0)
    p.add_argument('--unique', action='store_true')
    args = p.parse_args()
    args.people = args.people or 'ou=people,' + args.suffix
    args.groups = args.groups or 'ou=groups,' + args.suffix

    d = Directory(args)
    for text in args.user:
        d.add_user(text)
    numbered = ['user%05d' % i for i in range(1, args.users + 1)]
    for uid in numbered:
        d.add_user(uid)
    for path in args.group:
        d.group(path)
    for path, uid in args.member:
        d.group(path)['members'].append(uid)
    for path, uid in args.owner:
        d.group(path)['owners'].append(uid)
    if args.tree:
        depth, fanout = (int(x) for x in args.tree.split(':'))
        leaves = ['']
        for _ in range(depth):
            leaves = [parent + '/g%d' % i for parent in leaves for i in range(1, fanout + 1)]
            for path in leaves:
                d.group(path)
        tree = [p for p in d.group_order if p.startswith('/g')]
        for n, uid in enumerate(numbered):
            for k in range(args.spread):
                d.group(tree[(n * 7919 + k * 104729) % len(tree)])['members'].append(uid)
    d.write(sys.stdout)


if __name__ == '__main__':
    main()
