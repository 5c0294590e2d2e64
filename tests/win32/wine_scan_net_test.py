#!/usr/bin/python3
"""sonquarry-scan.exe under Wine as a client of the test network (run by testnet.sh exec):

1. --ip over the whole subnet: the sweep over Winsock tells the hosts that answer from those that
   do not (the scan log), and one share, linked into Wine's UNC mapping (the prefix's
   dosdevices/unc/ADDRESS/SHARE pointed at the share's folder on the test server's disk), is
   walked through it: the rows are the manifest's files of that share, each once. The same folder
   linked behind addresses that do not answer gives no row.
2. Settings stored through the settings room land in Wine's registry under the program's key
   (read with reg.exe) and steer sonquarry-scan --settings.

wine_scan_net_test.py BUILD_DIR   (BUILD_DIR: the MinGW build, with its Wine prefix)
"""
import os
import shutil
import subprocess
import sys

WINE = "/usr/lib/wine"  # Debian keeps wine64 and wineserver off the PATH
KEY = r"HKCU\Software\Vantrell Software\Sonquarry"
SHARE_HOST, SHARE = "ALPHA", "music"
SILENT_HOSTS = ("REFUSED", "SILENT", "MISSING")

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAILED: " + what)
    return ok


def load_env(path):
    env = {}
    for line in open(path, encoding="utf-8"):
        line = line.rstrip("\n")
        if not line or line.startswith("#") or "=" not in line:
            continue
        k, v = line.split("=", 1)
        if len(v) >= 2 and v[0] == v[-1] == "'":
            v = v[1:-1]
        env[k] = v
    return env


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine(*args, timeout=600):
    r = subprocess.run([WINE + "/wine64", *args], capture_output=True, timeout=timeout)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace")


def ext_of(name):
    # As the program takes it: from the last dot of the last component, ASCII lower case.
    dot = name.rfind(".")
    return name[dot:].lower() if dot >= 0 and "\\" not in name[dot:] else ""


def log_blocks(path):
    """The scan log's blocks: a stamped line's text, then its indented lines' texts."""
    blocks = []
    text = open(path, encoding="utf-8", errors="replace", newline="").read()
    for line in text.split("\r\n"):
        if line[2:3] == "." and line[19:22] == " : ":
            blocks.append([line[22:]])
        elif line.startswith(" " * 22) and blocks:
            blocks[-1].append(line[22:])
    return {b[0]: b[1:] for b in blocks}


def rows_of(out):
    return sorted(line for line in out.splitlines() if line)


def compare_rows(got, want, what):
    extra = sorted(set(got) - set(want))
    missing = sorted(set(want) - set(got))
    twice = sorted({r for r in got if got.count(r) > 1})
    ok = check(not extra and not missing and not twice,
               "%s: %d rows, %d wanted; %d too many, %d missing, %d twice"
               % (what, len(got), len(want), len(extra), len(missing), len(twice)))
    if not ok:
        for r in (extra[:5] + ["-- missing:"] + missing[:5] + ["-- twice:"] + twice[:5]):
            print("  " + r)


def main():
    build = os.path.abspath(sys.argv[1])
    net_dir = os.environ["SQ_TESTNET_DIR"]
    env = load_env(os.path.join(net_dir, "testnet.env"))
    prefix = os.path.join(build, "wineprefix")
    os.environ.update(WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=",
                      LC_ALL="C.UTF-8")
    work = os.path.join(build, "wine-net-test")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    scan = os.path.join(build, "src", "app", "sonquarry-scan.exe")
    writer = os.path.join(build, "tests", "win32", "settings_writer.exe")
    provider = os.path.join(build, "tests", "win32", "sq_test_np.dll")

    # Winsock's sockets are made by the wineserver: one started here lives in this namespace.
    subprocess.run([WINE + "/wineserver", "-k"], capture_output=True)
    subprocess.run([WINE + "/wineserver", "-w"], capture_output=True)
    if not os.path.exists(os.path.join(prefix, "system.reg")):
        wine("wineboot", "-i")

    # The stand-in for the redirector's network provider (the DLL's comment says why).
    services = r"HKLM\System\CurrentControlSet"
    for key, name, value in (
            (services + r"\Control\NetworkProvider\Order", "ProviderOrder", "SqTestNet"),
            (services + r"\Services\SqTestNet\NetworkProvider", "ProviderPath",
             windows_path(provider)),
            (services + r"\Services\SqTestNet\NetworkProvider", "Name",
             "Microsoft Windows Network")):
        rc, _, err = wine("reg", "add", key, "/v", name, "/t", "REG_SZ", "/d", value, "/f")
        if not check(rc == 0, "reg add %s %s: %s" % (key, name, err.strip())):
            return

    # The share of one host behind its address, and the same folder behind hosts that never answer.
    unc = os.path.join(prefix, "dosdevices", "unc")
    shutil.rmtree(unc, ignore_errors=True)
    folder = os.path.join(net_dir, "shares", SHARE_HOST.lower(), SHARE)
    for host in (SHARE_HOST,) + SILENT_HOSTS:
        os.makedirs(os.path.join(unc, env["SQ_%s_IP" % host]))
        os.symlink(folder, os.path.join(unc, env["SQ_%s_IP" % host], SHARE))

    name = env["SQ_%s_NAME" % SHARE_HOST]
    ip = env["SQ_%s_IP" % SHARE_HOST]
    files = []
    for line in open(env["SQ_MANIFEST"], encoding="utf-8"):
        f = line.rstrip("\n").split("\t")
        if f[0] == name and f[2] == SHARE:
            files.append(f[3])
    exts = sorted({ext_of(p) for p in files} - {""})
    check(len(files) > 10 and len(exts) > 3, "the manifest lists %s\\%s" % (name, SHARE))
    root = "\\\\%s\\%s\\" % (ip, SHARE)

    try:
        # 1. The sweep and the walk.
        log = os.path.join(work, "scan.log")
        args = ["--ip", env["SQ_SUBNET"], "--port445", "--format", "paths", "--log",
                windows_path(log)]
        for e in exts:
            args += ["--ext", e]
        rc, out, err = wine(scan, *args)
        check(rc == 0, "sonquarry-scan --ip exits %d: %s" % (rc, err[-2000:]))
        compare_rows(rows_of(out), sorted(root + p for p in files if ext_of(p)),
                     "rows of --ip " + env["SQ_SUBNET"])
        blocks = log_blocks(log)
        for host in env["SQ_HOSTS"].split(","):
            head = "Processing resource \\\\%s." % env["SQ_%s_IP" % host]
            if env.get("SQ_%s_PORTS" % host):  # 139 or 445: both are probed
                check(head in blocks and blocks[head][:1] != ["Not respond"],
                      "the sweep found %s" % host)
            elif host in SILENT_HOSTS:
                check(blocks.get(head) == ["Not respond"], "%s does not respond" % host)

        # 2. Settings through the registry room: reg.exe reads them, sonquarry-scan uses them.
        wine("reg", "delete", KEY, "/f")
        rc, _, err = wine(writer, "--ip", ip, "--ext", ".wma", "--connections", "3")
        check(rc == 0, "settings_writer exits %d: %s" % (rc, err))
        rc, out, err = wine("reg", "query", KEY, "/s")
        check(rc == 0, "reg query exits %d: %s" % (rc, err))
        values, key = {}, ""
        for line in out.splitlines():
            if line.startswith("HKEY_"):
                key = line.strip()
            elif line.strip():
                parts = line.split(None, 2)
                values[(key[len("HKEY_CURRENT_USER\\Software\\Vantrell Software\\Sonquarry"):],
                        parts[0])] = tuple(parts[1:])
        address = 0
        for group in ip.split("."):
            address = address * 256 + int(group)
        for (sub, value), want in {
                ("", "ServerConnections"): ("REG_DWORD", "0x3"),
                ("", "NetBios"): ("REG_DWORD", "0x0"),
                ("\\Extentions", "Item0"): ("REG_SZ", ".wma"),
                ("\\IPRanges", "AItem0"): ("REG_DWORD", hex(address)),
                ("\\IPRanges", "BItem0"): ("REG_DWORD", hex(address)),
                ("\\IPRanges", "CItem0"): ("REG_DWORD", "0x1")}.items():
            check(values.get((sub, value)) == want, "%s%s %s is %s, not %s"
                  % (KEY, sub, value, values.get((sub, value)), want))
        check(("\\Extentions", "Item1") not in values, "one extension stored")
        rc, out, err = wine(scan, "--settings", "--format", "paths", "--log",
                            windows_path(os.path.join(work, "settings.log")))
        check(rc == 0, "sonquarry-scan --settings exits %d: %s" % (rc, err[-2000:]))
        compare_rows(rows_of(out), sorted(root + p for p in files if ext_of(p) == ".wma"),
                     "rows of --settings")
    finally:
        shutil.rmtree(unc, ignore_errors=True)
        # No later Wine run outside this namespace may meet this wineserver.
        subprocess.run([WINE + "/wineserver", "-k"], capture_output=True)


if __name__ == "__main__":
    main()
    print("%d checks failed" % len(failures) if failures else "all checks passed")
    sys.exit(1 if failures else 0)
