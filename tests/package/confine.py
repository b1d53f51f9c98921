"""Runs a program under the system-call confinement of a service unit, without a service manager.

Usage: confine.py UNIT SYSCALLS -- PROGRAM [ARGS...]

SYSCALLS names, one a line, the system calls the unit's SystemCallFilter allows (expanded from its groups by
the caller). The program then runs with: memory never writable and executable at once (MemoryDenyWriteExecute),
only those system calls (any other fails with the unit's SystemCallErrorNumber), sockets only of the unit's
RestrictAddressFamilies, and only the native architecture. The caller has already set no-new-privileges, which
loading the filter as an ordinary user requires.
"""
import ctypes
import errno
import os
import socket
import sys

PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN = 65, 1
SCMP_ACT_ALLOW = 0x7FFF0000
SCMP_CMP_EQ = 4


def scmp_act_errno(code):
    return 0x00050000 | (code & 0xFFFF)


class ArgCmp(ctypes.Structure):
    _fields_ = [("arg", ctypes.c_uint), ("op", ctypes.c_uint), ("datum_a", ctypes.c_uint64),
                ("datum_b", ctypes.c_uint64)]


def unit_values(path, key):
    values = []
    with open(path, encoding="utf-8") as unit:
        for line in unit:
            if line.startswith(key + "="):
                values.append(line.split("=", 1)[1].strip())
    return values


def main():
    unit, syscalls, separator, program = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4:]
    if separator != "--" or not program:
        sys.exit(__doc__)
    libc = ctypes.CDLL(None, use_errno=True)
    if unit_values(unit, "MemoryDenyWriteExecute") == ["yes"]:
        if libc.prctl(PR_SET_MDWE, PR_MDWE_REFUSE_EXEC_GAIN, 0, 0, 0) != 0:
            sys.exit("confine: MemoryDenyWriteExecute: " + os.strerror(ctypes.get_errno()))

    code = getattr(errno, (unit_values(unit, "SystemCallErrorNumber") or ["EPERM"])[0])
    seccomp = ctypes.CDLL("libseccomp.so.2", use_errno=True)
    seccomp.seccomp_init.restype = ctypes.c_void_p
    seccomp.seccomp_rule_add_array.argtypes = [ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_uint,
                                               ctypes.POINTER(ArgCmp)]
    seccomp.seccomp_load.argtypes = [ctypes.c_void_p]
    context = seccomp.seccomp_init(scmp_act_errno(code))
    with open(syscalls, encoding="utf-8") as names:
        for name in names.read().split():
            number = seccomp.seccomp_syscall_resolve_name(name.encode())
            if number < 0 or name == "socket":
                continue  # not a system call of this architecture; socket is allowed per family below
            if seccomp.seccomp_rule_add_array(context, SCMP_ACT_ALLOW, number, 0, None) != 0:
                sys.exit("confine: cannot allow " + name)
    socket_number = seccomp.seccomp_syscall_resolve_name(b"socket")
    for family in " ".join(unit_values(unit, "RestrictAddressFamilies")).split():
        compare = ArgCmp(0, SCMP_CMP_EQ, getattr(socket, family), 0)
        if seccomp.seccomp_rule_add_array(context, SCMP_ACT_ALLOW, socket_number, 1, ctypes.byref(compare)) != 0:
            sys.exit("confine: cannot allow sockets of " + family)
    if seccomp.seccomp_load(context) != 0:
        sys.exit("confine: cannot load the system call filter")
    os.execv(program[0], program)


main()
