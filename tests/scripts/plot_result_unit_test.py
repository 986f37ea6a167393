"""Unit tests of plot-result's pure functions: the reading of a result file's
variables, of qarvel-track's CSV, of its own options, and where it finds our
programs. Run by ctest as plot_result_unit_test."""

import importlib.machinery
import importlib.util
import math
import os
import stat
import sys
import tempfile
import unittest

import numpy as np

SCRIPT = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "plot-result"
)


def load_script():
    loader = importlib.machinery.SourceFileLoader("plot_result", SCRIPT)
    found = importlib.util.spec_from_loader("plot_result", loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


pr = load_script()


def struct(**fields):
    """A 1 x 1 MATLAB structure as scipy.io.loadmat gives it."""
    s = np.empty((1, 1), dtype=[(name, "O") for name in fields])
    for name, value in fields.items():
        s[0, 0][name] = np.atleast_2d(np.asarray(value))
    return s


def result_file(points=(3, 2), sets=2, quantities=("Phase", "Magnitude"), averaged=None):
    """The variables of a result file of len(points) ranges, the shorter
    ranges' rows NaN as the programs write them."""
    rows, nsub = max(points), len(points)
    freq = np.full((rows, nsub), np.nan)
    for k, n in enumerate(points):
        freq[:n, k] = 10e6 * (k + 1) + 1e3 * np.arange(n)
    info = dict(
        NumberOfSubSweeps=nsub,
        SweepVectorLength=list(points),
        RequestedSweepFrequencyStart=[10e6 * (k + 1) for k in range(nsub)],
        RequestedSweepFrequencyEnd=[10e6 * (k + 1) + 5e5 for k in range(nsub)],
        RealizedSweepFrequencyVector=freq,
        NumberOfSweeps=sets,
    )
    if averaged is not None:
        info["IsGloballyAveraged"] = averaged
    data = np.empty((1, sets), dtype=[(n, "O") for n in ("SampleNumber", "Phase", "Magnitude")])
    for i in range(sets):
        data[0, i]["SampleNumber"] = np.array([[100 + i]])
        for q in ("Phase", "Magnitude"):
            m = np.where(np.isnan(freq), np.nan, float(i)) if q in quantities else np.zeros((0, 0))
            data[0, i][q] = m
    return {"SweepInfo": struct(**info), "SweepData": data}


class ResultOf(unittest.TestCase):
    def test_ranges_sets_and_quantities(self):
        r = pr.result_of(result_file(), "/some/where/run.mat")
        self.assertEqual(r["name"], "run.mat")
        self.assertEqual(
            [x["label"] for x in r["ranges"]], ["Range 1: 10–10.5 MHz", "Range 2: 20–20.5 MHz"]
        )
        # each range's realized MHz, cut at its own points
        self.assertEqual(list(r["ranges"][0]["mhz"]), [10.0, 10.001, 10.002])
        self.assertEqual(list(r["ranges"][1]["mhz"]), [20.0, 20.001])
        self.assertEqual([s["sample"] for s in r["sets"]], [100, 101])
        self.assertEqual(r["present"], ["Magnitude", "Phase"])
        self.assertFalse(r["averaged"])
        self.assertEqual(r["sweeps"], 2)

    def test_what_the_file_holds(self):
        cases = [  # (keyword arguments, present, averaged)
            (dict(quantities=("Phase",)), ["Phase"], False),
            (dict(quantities=("Magnitude",)), ["Magnitude"], False),
            (dict(averaged=1, sets=1), ["Magnitude", "Phase"], True),
            (dict(averaged=0), ["Magnitude", "Phase"], False),
        ]
        for kwargs, present, averaged in cases:
            with self.subTest(kwargs=kwargs):
                r = pr.result_of(result_file(**kwargs), "x.mat")
                self.assertEqual(r["present"], present)
                self.assertEqual(r["averaged"], averaged)
                for s in r["sets"]:
                    for q in pr.QUANTITIES:
                        self.assertEqual(s[q] is None, q not in present)

    def test_refusals(self):
        no_sets = result_file()
        no_sets["SweepData"] = no_sets["SweepData"][:, :0]
        wrong_shape = result_file()
        wrong_shape["SweepData"][0, 1]["Phase"] = np.zeros((2, 2))
        wrong_count = result_file()
        wrong_count["SweepInfo"][0, 0]["NumberOfSubSweeps"] = np.array([[3]])
        cases = [
            (no_sets, "holds no sweep set"),
            (result_file(quantities=()), "holds neither Magnitude nor Phase"),
            (wrong_shape, "a Phase matrix is not 3x2 like the frequencies"),
            (wrong_count, "SweepInfo does not describe 3 ranges"),
        ]
        for mat, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(pr.ResultError) as caught:
                    pr.result_of(mat, "x.mat")
                self.assertIn(message, str(caught.exception))

    def test_load_names_a_file_that_is_not_a_result_file(self):
        with tempfile.TemporaryDirectory() as folder:
            garbage = os.path.join(folder, "garbage.mat")
            with open(garbage, "wb") as f:
                f.write(b"not a MAT file at all" * 10)
            with self.assertRaises(pr.ResultError) as caught:
                pr.load(garbage)
            self.assertIn("garbage.mat", str(caught.exception))


class Column(unittest.TestCase):
    def test_rows_without_a_frequency_or_value_are_left_out(self):
        r = pr.result_of(result_file(points=(3, 2)), "x.mat")
        entry = r["sets"][1]
        entry["Phase"][1, 0] = np.nan  # a value missing inside range 1
        mhz, values = pr.column(r, entry, "Phase", 0)
        self.assertEqual(list(mhz), [10.0, 10.002])
        self.assertEqual(list(values), [1.0, 1.0])
        mhz, values = pr.column(r, entry, "Phase", 1)
        self.assertEqual(list(mhz), [20.0, 20.001])


HEADER = "file,sample_number,time_s,utc,range,f0_hz,fwhm_hz,q,peak_db,phase_deg,residual,status\n"


class Track(unittest.TestCase):
    def test_rows_become_sets_with_one_value_per_range(self):
        text = HEADER + (
            "a.mat,7,0.1,2026-12-07T13:05:09.123Z,1,15000000.5,50000,300,30,12.4,1.01,ok\n"
            "a.mat,7,0.1,2026-12-07T13:05:09.123Z,2,25500000,,,,,,none\n"
            "a.mat,8,,,1,15000001,50000,301,30,12.4,0.99,edge\n"
            "a.mat,8,,,2,,,,,,,nodata\n"
        )
        sets = pr.track("ignored", text)
        self.assertEqual([s["sample"] for s in sets], [7, 8])
        self.assertEqual(sets[0]["time"], 0.1)
        self.assertTrue(math.isnan(sets[1]["time"]))
        self.assertEqual([s["estimate"] for s in sets], [False, True])
        self.assertEqual(sets[0]["f0"][0], 15000000.5)
        self.assertEqual(sets[0]["f0"][1], 25500000.0)
        self.assertTrue(math.isnan(sets[0]["q"][1]))
        self.assertEqual(sets[1]["q"][0], 301.0)
        self.assertTrue(math.isnan(sets[1]["f0"][1]))

    def test_no_rows_no_sets(self):
        self.assertEqual(pr.track("ignored", HEADER), [])


class Seconds(unittest.TestCase):
    def test_accepted_and_refused(self):
        for text, value in [("2", 2.0), ("0.5", 0.5), ("999999", 999999.0)]:
            self.assertEqual(pr.seconds(text), value)
        for text in ["0", "-1", "1e6", "nan", "inf", "two", ""]:
            with self.subTest(text=text):
                with self.assertRaises(pr.argparse.ArgumentTypeError):
                    pr.seconds(text)


class Program(unittest.TestCase):
    def setUp(self):
        self.saved = {k: os.environ.get(k) for k in ("QARVEL_TRACK", "PATH")}

    def tearDown(self):
        for k, v in self.saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v

    def test_variable_then_build_folder_then_path(self):
        os.environ["QARVEL_TRACK"] = "/opt/elsewhere/qarvel-track"
        self.assertEqual(pr.program("qarvel-track", "QARVEL_TRACK"), "/opt/elsewhere/qarvel-track")
        del os.environ["QARVEL_TRACK"]
        with tempfile.TemporaryDirectory() as folder:
            tool = os.path.join(folder, "qarvel-nothing-such")
            with open(tool, "w") as f:
                f.write("#!/bin/sh\n")
            os.chmod(tool, stat.S_IRWXU)
            os.environ["PATH"] = folder
            self.assertEqual(pr.program("qarvel-nothing-such", "QARVEL_NOTHING"), tool)
            os.environ["PATH"] = ""
            self.assertIsNone(pr.program("qarvel-nothing-such", "QARVEL_NOTHING"))
        here = os.path.realpath(os.path.dirname(SCRIPT))
        build = os.path.join(here, "..", "build", "qarvel-track")
        if os.access(build, os.X_OK):
            self.assertEqual(
                os.path.realpath(pr.program("qarvel-track", "QARVEL_TRACK")),
                os.path.realpath(build),
            )


if __name__ == "__main__":
    sys.exit(unittest.main())
