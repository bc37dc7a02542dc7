"""Filters of the tavrin playbook: counting records and building the report.

They run on the controller over the fetched files in the results folder:
<results>/<host>/<tick><suffix>.txt (a result file) and
<results>/<host>/<tick><suffix>.console.txt (what that run wrote to the console).
"""

import csv
import io
import os
import re

COMMANDS = {"badFiles": "list", "couldNotFix": "repair", "allFiles": "listall"}
RUN_NAME = re.compile(r"(-?[0-9]+(badFiles|couldNotFix|allFiles))(\.console)?\.txt")
# A record is a line feed, the word in signed decimal, a comma and a blank,
# then the path. On Windows a path cannot hold a line feed, so this counts the
# line feeds of a result file; on Linux a file name may hold one, and it is
# counted only when a decimal number, a comma and a blank follow it.
RECORD = re.compile(rb"\n-?[0-9]+, ")


def tavrin_record_count(paths):
    """Records in these files together (missing files count nothing)."""
    if isinstance(paths, (str, bytes)):
        paths = [paths]
    total = 0
    for path in paths:
        if path and os.path.isfile(path):
            with open(path, "rb") as f:
                total += len(RECORD.findall(f.read()))
    return total


def _runs(results_dir):
    """(host, run name, result file shown, [files]) for every run found, oldest first per host."""
    runs = []
    if not os.path.isdir(results_dir):
        return runs
    for host in sorted(os.listdir(results_dir)):
        folder = os.path.join(results_dir, host)
        if not os.path.isdir(folder):
            continue
        found = {}
        for name in os.listdir(folder):
            match = RUN_NAME.fullmatch(name)
            if match:
                found.setdefault(match.group(1), []).append(name)
        rows = []
        for run, names in found.items():
            names.sort(key=lambda n: n.endswith(".console.txt"))  # the result file first
            paths = [os.path.join(folder, n) for n in names]
            first_seen = min(os.stat(p).st_mtime_ns for p in paths)
            rows.append((first_seen, run, host, names[0], paths))
        for _, run, _, shown, paths in sorted(rows):
            runs.append((host, run, shown, paths))
    return runs


def tavrin_report_csv(results_dir):
    """report.csv: one row per host and run, from everything in the results folder."""
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["host", "command", "records", "result_file"])
    for host, run, shown, paths in _runs(results_dir):
        command = COMMANDS[RUN_NAME.fullmatch(shown).group(2)]
        writer.writerow([host, command, tavrin_record_count(paths), shown])
    return out.getvalue()


def tavrin_summary(targets, hostvars):
    """Lines summing up this play: hosts, records, hosts with could-not-fix records,
    runs that ended with status 1 (some folders or files could not be read or changed),
    then one line per failed host with its reason (tavrin's own, where it ran)."""
    finished, failed, not_fixed, partial, reasons = [], [], [], [], []
    totals = {}
    for host in targets:
        facts = hostvars[host] if host in hostvars else {}
        if not facts.get("tavrin_done"):
            failed.append(host)
            reason = facts.get("tavrin_failure") or "did not finish (unreachable, or the play was stopped)"
            reasons.append(f"{host} failed: {' '.join(str(reason).split())}")
            continue
        finished.append(host)
        for run in facts.get("tavrin_runs", []):
            records = int(run["records"])
            totals[run["command"]] = totals.get(run["command"], 0) + records
            if run["command"] == "repair" and records:
                not_fixed.append(f"{host} ({records})")
            if int(run.get("status", 0)) == 1:
                partial.append(f"{host} ({run['command']})")
    by_command = ", ".join(f"{c} {n}" for c, n in sorted(totals.items()))
    return [
        f"hosts: {len(finished)} done" + (f", {len(failed)} failed: {', '.join(failed)}" if failed else ""),
        f"records: {sum(totals.values())}" + (f" ({by_command})" if by_command else ""),
        "hosts with could-not-fix records: " + (", ".join(not_fixed) if not_fixed else "none"),
        "partial runs: " + (", ".join(partial) if partial else "none"),
    ] + reasons


class FilterModule:
    def filters(self):
        return {
            "tavrin_record_count": tavrin_record_count,
            "tavrin_report_csv": tavrin_report_csv,
            "tavrin_summary": tavrin_summary,
        }
