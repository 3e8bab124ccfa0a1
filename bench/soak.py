#!/usr/bin/env python3
"""The fault soak's loop; bench/soak prepares what it needs and starts it.

Each round runs the real Update.exe (under Wine, through soak_driver.exe)
from an installed folder that started at release 1.0, through
bench/fault_proxy.py in front of nginx, with a plan drawn from the round's
seed: run to the end, close the wizard on a page, or kill the whole Wine
process of the updater at a trace line (configuration, file list, a
download, a delta, one step of placing the staged files). After every round
the folder is checked; once a round finishes the update, the folder must
match release 1.1 and the next round starts again from 1.0.

Besides those plain rounds, two modes make the rounds that leave an
installed file's name absent with its old copy kept aside: "fat" runs the
updater as on a volume without hard links (its test switch
UPDATER_TEST_NO_HARD_LINKS), where a kill while placing can fall between
moving the file aside and placing the new one; "undo" holds the main program
open from the first move on, so that the pass fails on it and is undone, and
kills the updater at a move of that undo ("held" rounds, the same without
the kill, follow each: the pass after an interrupted one fails again and must
leave every file in place). --mode picks one mode for every round; "all"
(the default) rotates them.
"""
import argparse
import collections
import hashlib
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import time

STAGING = "update"
SCRIPT = "VaVeri_Update.bat"
USER_FILE = "notes.txt"
USER_TEXT = b"user notes, not part of any release\r\n"
OUTSIDE_FILE = "outside.txt"
OUTSIDE_TEXT = b"a file beside the program folder\r\n"
MAIN_EXE = "Demo.exe"
UPDATER = "Update.exe"
# What the stand-in main program writes beside itself once it ran (the
# second: the program that started it).
MAIN_MARKER = "main_program_started.txt"
MAIN_MARKERS = (MAIN_MARKER, "main_program_parent.txt")
MAIN_START_WAIT_S = 20
# A cycle that has not finished after this many rounds is a finding too.
MAX_ROUNDS_PER_UPDATE = 40
# The updater's own script replaces Update.exe after it exits.
SCRIPT_WAIT_S = 60
DRIVER_TIMEOUT_S = 900
PHASES = ["config", "list", "download", "packed", "delta", "placing", "undo"]
KEPT_ASIDE = STAGING + "/update/replaced"
# What a pass leaves in the trace once it started (the placing worker's first line).
PASS_STARTED = "线程_放置文件 启动"
# Each mode's rounds in turn.
ROTATIONS = {
    "all": ["plain", "fat", "plain", "undo", "held"],
    "plain": ["plain"],
    "fat": ["fat"],
    # A plain round lets the update finish now and then, so that a cycle ends.
    "undo": ["undo", "held", "plain"],
}
FAT_SWITCH = "UPDATER_TEST_NO_HARD_LINKS"
# The share of --fault-rate each kind of round gets: the new modes' rounds
# count only where their pass is reached, so the network troubles them less.
FAULT_SHARE = {"plain": 1.0, "fat": 0.5, "undo": 0.15, "held": 0.15}


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def tree(folder, skip_staging=True):
    """Relative path ("/" separators) -> SHA-256 of every file under folder."""
    found = {}
    for root, dirs, files in os.walk(folder):
        rel_root = os.path.relpath(root, folder)
        if skip_staging and rel_root == ".":
            dirs[:] = [d for d in dirs if d.lower() != STAGING]
        for name in files:
            rel = os.path.normpath(os.path.join(rel_root, name)).replace(os.sep, "/")
            found[rel] = digest(os.path.join(root, name))
    return found


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class Plan:
    def __init__(self, rng, placing_steps, mode):
        roll = rng.random()
        self.mode = mode
        self.text = "none"
        self.kind = "none"
        if mode == "held":
            self.text = "held:%s" % MAIN_EXE
            return
        if mode == "undo":
            # At the trace before move N of the undo: two for each file placed
            # before the held main program that had an old version, one otherwise.
            self.kind = "kill"
            self.phase = "undo"
            self.text = "undo:%s:%d" % (MAIN_EXE, rng.randint(1, 2 * (placing_steps - 1)))
            return
        if mode == "fat" and roll < 0.5:
            # A kill between the two moves of a file is what this volume adds.
            self.kind = "kill"
            self.phase = "placing"
            self.text = "kill:placing:%d:0" % rng.randint(1, placing_steps)
            return
        if roll < 0.2:
            return
        if roll < 0.35:
            self.kind = "close"
            self.text = "close:%d:%d" % (rng.randint(1, 5), rng.choice([0, 200, 1000, 3000]))
            return
        self.kind = "kill"
        phase = rng.choices(PHASES[:-1], [1, 1, 3, 2, 3, 4])[0]  # "undo" is a mode of its own
        if phase in ("config", "list"):
            nth, delay = 1, rng.choice([0, 0, 300, 1000])
        elif phase == "placing":
            # Between two moves (at the trace before move N, the ones before it done).
            nth, delay = rng.randint(1, placing_steps), 0
        elif phase == "delta":
            # At the request, or while the object arrives or is decoded.
            nth, delay = rng.randint(1, 4), rng.choice([0, 20, 60, 150, 400])
        else:
            nth, delay = rng.randint(1, 4), rng.choice([0, 100, 500, 1500])
        self.phase = phase
        self.text = "kill:%s:%d:%d" % (phase, nth, delay)


class Soak:
    def __init__(self, args):
        self.args = args
        self.work = os.path.abspath(args.work)
        self.old = tree(args.release0, skip_staging=False)
        self.new = tree(args.release1, skip_staging=False)
        # The updater's own file is put in place by its script, not by a move of the apply.
        self.placing_steps = sum(1 for rel, h in self.new.items() if self.old.get(rel) != h and rel != UPDATER)
        self.changed_plain = sum(os.path.getsize(os.path.join(args.release1, rel))
                                 for rel, h in self.new.items() if self.old.get(rel) != h)
        self.root = os.path.join(self.work, "round")
        self.installed = os.path.join(self.root, "installed")
        self.faults = collections.Counter()
        self.kills = collections.Counter()
        self.kills_unreached = collections.Counter()
        self.closes = collections.Counter()
        self.results = collections.Counter()
        self.modes = collections.Counter()
        self.kept_aside = collections.Counter()  # absent names with their old copy kept, after a round
        self.rounds_to_finish = []
        self.violations = []
        self.nginx_bytes = 0
        self.updates_plain = 0
        self.mixed = []          # rounds that left a new library beside the old main program
        self.mixed_next = collections.Counter()
        self.mixed_next_bytes = 0
        self.placing_ms = []
        self.retries = 0
        self.main_started = 0
        self.seen = set()
        self.rounds_in_update = 0
        self.access_offset = 0
        self.fault_offset = 0
        self.last_was_mixed = False

    # ------------------------------------------------------------------ set-up
    def reset_install(self):
        if os.path.exists(self.root):
            shutil.rmtree(self.root)
        shutil.copytree(self.args.release0, self.installed)
        with open(os.path.join(self.installed, USER_FILE), "wb") as f:
            f.write(USER_TEXT)
        with open(os.path.join(self.root, OUTSIDE_FILE), "wb") as f:
            f.write(OUTSIDE_TEXT)
        self.seen = set(tree(self.installed))
        self.rounds_in_update = 0

    # --------------------------------------------------------------- one round
    def wine_processes(self, name):
        """Unix pids of this prefix's Wine processes whose program is name."""
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    argv = f.read().split(b"\0")
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if b"WINEPREFIX=" + self.args.prefix.encode() not in environ:
                continue
            if argv and argv[0].replace(b"\\", b"/").lower().endswith(name.lower().encode()):
                found.append(int(pid))
        return found

    def kill_updater(self):
        pids = self.wine_processes(UPDATER)
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        return len(pids)

    def run_driver(self, plan, proxy_port):
        command = ["wine", os.path.abspath(self.args.driver), windows_path(os.path.join(self.installed, UPDATER)),
                   "http://127.0.0.1:%d/update.xml" % proxy_port, "1.0", plan.text]
        env = dict(os.environ)
        env.pop(FAT_SWITCH, None)
        if plan.mode == "fat":
            env[FAT_SWITCH] = "1"
        driver = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  cwd=self.installed, env=env)
        lines = []
        deadline = time.monotonic() + DRIVER_TIMEOUT_S
        killed_by_host = False
        for raw in driver.stdout:
            line = raw.decode("gbk", "replace").rstrip("\r\n")
            lines.append(line)
            if line.startswith("KILL "):
                killed_by_host = self.kill_updater() > 0
            if time.monotonic() > deadline:
                break
        try:
            driver.wait(timeout=60)
        except subprocess.TimeoutExpired:
            driver.kill()
            driver.wait()
        return lines, killed_by_host

    def start_proxy(self, seed, mode):
        proxy = subprocess.Popen([sys.executable, self.args.proxy, "--upstream", str(self.args.nginx_port),
                                  "--port", str(self.args.proxy_port), "--seed", str(seed), "--log", self.args.fault_log,
                                  "--rate", str(self.args.fault_rate * FAULT_SHARE[mode])],
                                 stdout=subprocess.PIPE, text=True)
        port = int(proxy.stdout.readline().split()[1])
        return proxy, port

    def new_log_lines(self, path, offset_name):
        offset = getattr(self, offset_name)
        with open(path, "rb") as f:
            f.seek(offset)
            data = f.read()
        # Only whole lines; the rest is read next time.
        end = data.rfind(b"\n") + 1
        setattr(self, offset_name, offset + end)
        return data[:end].decode("utf-8", "replace").splitlines()

    def round(self, number):
        seed = self.args.seed * 1000003 + number
        rng = random.Random(seed)
        rotation = ROTATIONS[self.args.mode]
        plan = Plan(rng, self.placing_steps, rotation[number % len(rotation)])
        self.modes[plan.mode] += 1
        proxy, port = self.start_proxy(seed, plan.mode)
        try:
            lines, killed_by_host = self.run_driver(plan, port)
        finally:
            proxy.terminate()
            proxy.wait()
        stray = self.kill_updater()
        result_line = next((l for l in lines if l.startswith("RESULT ")), "RESULT none")
        result = result_line.split()[1]
        if result == "none":
            self.violation(number, seed, "the driver ended without a result: %s" % lines[-5:])
        fields = dict(f.split("=", 1) for f in result_line.split()[2:] if "=" in f)
        self.retries += int(fields.get("retries", 0))
        # The update completed on the finish page, or on the download page
        # after a Retry (where the main program is not offered).
        done = result in ("finished", "complete")
        self.wait_for_script(done)
        marker = os.path.join(self.installed, MAIN_MARKER)
        if result == "finished":
            deadline = time.monotonic() + MAIN_START_WAIT_S
            while not os.path.exists(marker) and time.monotonic() < deadline:
                time.sleep(0.2)
            if os.path.exists(marker):
                self.main_started += 1
            else:
                self.violation(number, seed, "finished, but the main program did not start")
            if int(fields.get("placed", 0)) > 1:
                self.placing_ms.append(int(fields.get("placing_ms", 0)))
        self.results[result] += 1
        if plan.kind == "kill":
            if result == "killed":
                self.kills[plan.phase] += 1
                if not killed_by_host:
                    self.violation(number, seed, "the updater was killed by the driver, not by the host")
            else:
                self.kills_unreached[plan.phase] += 1
        elif plan.kind == "close" and result == "closed":
            self.closes[plan.text.split(":")[1]] += 1
        if stray:
            self.violation(number, seed, "%d Update.exe still ran after the round" % stray)
        for line in self.new_log_lines(self.args.fault_log, "fault_offset"):
            self.faults[line.split(" ", 1)[0]] += 1
        sent = 0
        for line in self.new_log_lines(self.args.access_log, "access_offset"):
            parts = line.split()
            if len(parts) >= 3 and parts[0].startswith("/1.1/"):
                sent += int(parts[2])
        self.nginx_bytes += sent
        self.rounds_in_update += 1
        # A name may be absent, its old copy kept aside, only where the round
        # ended inside a pass or ran none; a pass that ended returned every one.
        pass_ended = (result != "killed" and
                      any(PASS_STARTED in l for l in lines if l.startswith("TRACE ")))
        problems = self.check(done, pass_ended)
        for name in MAIN_MARKERS:
            if os.path.exists(os.path.join(self.installed, name)):
                os.remove(os.path.join(self.installed, name))
        for problem in problems:
            self.violation(number, seed, problem)
        mixed = self.is_mixed()
        if self.last_was_mixed:
            self.mixed_next[result] += 1
            self.mixed_next_bytes += sent
        if mixed:
            self.mixed.append((number, plan.text))
        self.last_was_mixed = mixed
        with open(os.path.join(self.work, "rounds", "round-%d.txt" % number), "w") as f:
            f.write("seed %d plan %s\n" % (seed, plan.text))
            f.write("\n".join(lines) + "\n")
        if problems:
            self.save_failed_round(number, seed, plan, lines)
        status = "round %d seed %d plan %s: %s, %d bytes from nginx%s" % (
            number, seed, plan.text, result, sent, ", NEW LIBRARY BESIDE OLD MAIN PROGRAM" if mixed else "")
        print(status, flush=True)
        finished = done and not problems
        if finished or self.rounds_in_update >= MAX_ROUNDS_PER_UPDATE:
            if not finished:
                self.violation(number, seed, "no finished update after %d rounds" % self.rounds_in_update)
            else:
                self.rounds_to_finish.append(self.rounds_in_update)
                self.updates_plain += self.changed_plain
            self.reset_install()

    def wait_for_script(self, finished):
        """The updater's script replaces Update.exe after it exited: until it is gone (and after a
        finished update the staging folder with it) the folder is still changing."""
        deadline = time.monotonic() + SCRIPT_WAIT_S
        while time.monotonic() < deadline:
            if (not os.path.exists(os.path.join(self.installed, SCRIPT)) and
                    not (finished and os.path.exists(os.path.join(self.installed, STAGING)))):
                return
            time.sleep(0.2)

    # --------------------------------------------------------------- checking
    def check(self, finished, pass_ended):
        problems = []
        now = {rel: h for rel, h in tree(self.installed).items() if rel not in MAIN_MARKERS}
        for rel, h in sorted(now.items()):
            if rel == USER_FILE:
                if h != hashlib.sha256(USER_TEXT).hexdigest():
                    problems.append("the user's %s changed" % rel)
            elif rel == SCRIPT:
                if finished:
                    problems.append("%s still there after the update" % SCRIPT)
            elif rel not in self.old and rel not in self.new:
                problems.append("%s is in neither release" % rel)
            elif h not in (self.old.get(rel), self.new.get(rel)):
                problems.append("%s holds a third content" % rel)
        for rel in sorted(self.seen - set(now)):
            kept = os.path.join(self.installed, KEPT_ASIDE, rel)
            kept_whole = os.path.isfile(kept) and digest(kept) in (self.old.get(rel), self.new.get(rel))
            if not kept_whole:
                problems.append("%s vanished, no old copy kept" % rel)
            elif pass_ended or finished:
                problems.append("%s absent after a pass that ended (its old copy kept aside)" % rel)
            else:
                self.kept_aside[rel] += 1
        self.seen |= set(now)
        staging = os.path.join(self.installed, STAGING)
        if os.path.isdir(staging):
            for rel, h in sorted(tree(staging, skip_staging=False).items()):
                if rel.lower().startswith(STAGING + "/"):
                    continue  # partial downloads and their records
                if self.new.get(rel) != h:
                    problems.append("update/%s is staged but does not match its list entry" % rel)
        outside = sorted(os.listdir(self.root))
        if outside != sorted(["installed", OUTSIDE_FILE]):
            problems.append("beside the program folder: %s" % outside)
        elif digest(os.path.join(self.root, OUTSIDE_FILE)) != hashlib.sha256(OUTSIDE_TEXT).hexdigest():
            problems.append("%s beside the program folder changed" % OUTSIDE_FILE)
        if finished:
            for rel, h in sorted(self.new.items()):
                if now.get(rel) != h:
                    problems.append("finished, but %s is not the new release's" % rel)
            if os.path.exists(staging):
                problems.append("finished, but update/ is still there")
        return problems

    def is_mixed(self):
        """A library of 1.1 beside the main program of 1.0."""
        try:
            main_old = digest(os.path.join(self.installed, MAIN_EXE)) == self.old[MAIN_EXE]
        except OSError:
            return False
        if not main_old:
            return False
        for rel, h in self.new.items():
            if rel.lower().endswith(".dll") and self.old.get(rel) != h:
                path = os.path.join(self.installed, rel)
                if os.path.exists(path) and digest(path) == h:
                    return True
        return False

    def violation(self, number, seed, text):
        self.violations.append((number, seed, text))
        print("VIOLATION round %d seed %d: %s" % (number, seed, text), flush=True)

    def save_failed_round(self, number, seed, plan, lines):
        folder = os.path.join(self.work, "failed", "round-%d" % number)
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "driver.txt"), "w") as f:
            f.write("seed %d plan %s\n" % (seed, plan.text))
            f.write("\n".join(lines) + "\n")
        shutil.copytree(self.installed, os.path.join(folder, "installed"), dirs_exist_ok=True)

    # ---------------------------------------------------------------- figures
    def report(self, rounds, seconds):
        print()
        print("soak: %d rounds, seed %d, %.0f s (%.1f s a round)" % (rounds, self.args.seed, seconds,
                                                                    seconds / max(rounds, 1)))
        print("  rounds by mode     %s" % ", ".join("%s %d" % kv for kv in sorted(self.modes.items())))
        print("  round endings      %s" % ", ".join("%s %d" % kv for kv in sorted(self.results.items())))
        print("  faults injected    %s" % ", ".join("%s %d" % kv for kv in sorted(self.faults.items())))
        print("  kills by phase     %s" % ", ".join("%s %d" % (p, self.kills[p]) for p in PHASES))
        print("  kill not reached   %s" % ", ".join("%s %d" % (p, self.kills_unreached[p]) for p in PHASES))
        print("  closes by page     %s" % ", ".join("%s %d" % kv for kv in sorted(self.closes.items())))
        print("  retries pressed    %d" % self.retries)
        print("  main program started after the finish: %d times" % self.main_started)
        if self.rounds_to_finish:
            print("  updates finished   %d, rounds until finished: median %g, worst %d" % (
                len(self.rounds_to_finish), statistics.median(self.rounds_to_finish), max(self.rounds_to_finish)))
        else:
            print("  updates finished   0")
        if self.updates_plain:
            print("  nginx sent         %d bytes under /1.1/, plain bytes of the changed files %d "
                  "per finished update (%d in all): %.3f" % (
                      self.nginx_bytes, self.changed_plain, self.updates_plain,
                      self.nginx_bytes / self.updates_plain))
        print("  a name absent, its old copy kept aside, after a round: %d times (%s)" % (
            sum(self.kept_aside.values()), ", ".join("%s %d" % kv for kv in sorted(self.kept_aside.items())) or "-"))
        print("  new library beside old main program after %d rounds" % len(self.mixed))
        if self.mixed_next:
            print("    the round after it: %s; nginx sent %d bytes in those rounds" % (
                ", ".join("%s %d" % kv for kv in sorted(self.mixed_next.items())), self.mixed_next_bytes))
        if self.placing_ms:
            print("  placing the staged files (first to last move, traced): median %g ms, worst %d ms" % (
                statistics.median(self.placing_ms), max(self.placing_ms)))
        print("  violations         %d" % len(self.violations))
        for number, seed, text in self.violations:
            print("    round %d seed %d: %s" % (number, seed, text))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=0, help="rounds to run (0: until --minutes)")
    parser.add_argument("--minutes", type=float, default=0, help="stop starting rounds after this time")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--work", required=True)
    parser.add_argument("--release0", required=True)
    parser.add_argument("--release1", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--proxy", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--proxy-port", type=int, required=True)
    parser.add_argument("--nginx-port", type=int, required=True)
    parser.add_argument("--access-log", required=True)
    parser.add_argument("--fault-log", required=True)
    parser.add_argument("--fault-rate", type=float, default=0.35)
    parser.add_argument("--mode", choices=sorted(ROTATIONS), default="all",
                        help="the kind of every round, or all of them in turn")
    args = parser.parse_args()
    soak = Soak(args)
    soak.access_offset = os.path.getsize(args.access_log) if os.path.exists(args.access_log) else 0
    open(args.fault_log, "a").close()
    soak.fault_offset = os.path.getsize(args.fault_log)
    soak.reset_install()
    os.makedirs(os.path.join(soak.work, "rounds"), exist_ok=True)
    started = time.monotonic()
    number = 0
    while True:
        if args.rounds and number >= args.rounds:
            break
        if args.minutes and time.monotonic() - started > args.minutes * 60:
            break
        if not args.rounds and not args.minutes:
            break
        soak.round(number)
        number += 1
    soak.report(number, time.monotonic() - started)
    return 1 if soak.violations else 0


if __name__ == "__main__":
    sys.exit(main())
