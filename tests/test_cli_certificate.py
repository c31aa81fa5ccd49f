"""A certificate that verifies settles what a stopped solve or an LP would otherwise leave open."""

import json
from pathlib import Path

from cli_support import DATA, pelmora_run


def test_a_verified_certificate_settles_the_check_and_bounds_a_stopped_solve(tmp_path: Path) -> None:
    made = pelmora_run("generate", DATA / "own-net-5000n-12500a.min", tmp_path / "f.mcf", "-k", 3, "--method",
                       "spread", "--feasible", "--certificate", tmp_path / "f.npy")
    assert made.returncode == 0, made.stderr
    # A time limit nothing could meet: the certificate alone decides, with no LP to stop.
    checked = pelmora_run("info", tmp_path / "f.mcf", "--check", "--certificate", tmp_path / "f.npy", "--time-limit",
                          "1e-9", "--json")
    told = json.loads(checked.stdout)
    assert checked.returncode == 0, checked.stderr
    assert told["check"]["feasible"] and told["check"]["bundled_by"] == "certificate" and told["certificate"]["feasible"]
    assert all(c["feasible"] for c in told["check"]["commodities"]) and told["check"]["objective"] is None
    stopped = pelmora_run("solve", tmp_path / "f.mcf", "--certificate", tmp_path / "f.npy", "--time-limit", "1e-6",
                          "--json")
    told = json.loads(stopped.stdout)
    assert stopped.returncode == 3 and told["status"] == "time-limit", stopped.stderr
    assert told["upper_bound"] == told["certificate"]["cost"] and told["certificate"]["gap"] is None
    text = pelmora_run("solve", tmp_path / "f.mcf", "--certificate", tmp_path / "f.npy", "--time-limit", "1e-6")
    assert f"bound      {told['upper_bound']} (the certificate is a feasible solution" in text.stdout
