#!/usr/bin/env python3
"""The reference fits of track_bench: scipy.optimize.curve_fit of the
resonance model to both quantities, stacked, each weighted by the
emulator's true noise, started from the truth.

Usage: reference.py DIR. Reads every case file of DIR that track_bench
wrote (line 1: the noise in dB and degrees; line 2: the frequencies in Hz;
then three lines per set: the true f0 and Q, the phase, the magnitude) and
writes CASE.ref beside it: "f0 Q" per set, "nan nan" where the fit failed.
"""
import os
import sys

import numpy as np
from scipy.optimize import curve_fit

DEG = 180 / np.pi
DB = 10 / np.log(10)


def fit(freq, phase, magnitude, sigma_deg, sigma_db, f0, q):
    n = len(freq)

    def model(_, f0, q, peak, phi0):
        x = 2 * q * (freq - f0) / f0
        return np.concatenate((phi0 - DEG * np.arctan(x), peak - DB * np.log1p(x * x)))

    def jacobian(_, f0, q, peak, phi0):
        x = 2 * q * (freq - f0) / f0
        dx_df0 = -2 * q * freq / (f0 * f0)
        dx_dq = 2 * (freq - f0) / f0
        dphase_dx = -DEG / (1 + x * x)
        dmag_dx = -DB * 2 * x / (1 + x * x)
        j = np.zeros((2 * n, 4))
        j[:n, 0], j[:n, 1], j[:n, 3] = dphase_dx * dx_df0, dphase_dx * dx_dq, 1
        j[n:, 0], j[n:, 1], j[n:, 2] = dmag_dx * dx_df0, dmag_dx * dx_dq, 1
        return j

    y = np.concatenate((phase, magnitude))
    sigma = np.concatenate((np.full(n, sigma_deg), np.full(n, sigma_db)))
    nearest = int(np.argmin(np.abs(freq - f0)))
    p0 = (f0, q, float(np.max(magnitude)), float(phase[nearest]))
    try:
        p, _ = curve_fit(model, np.arange(2 * n), y, p0=p0, sigma=sigma, jac=jacobian, maxfev=10000)
    except RuntimeError:
        return float("nan"), float("nan")
    return p[0], p[1]


def main():
    folder = sys.argv[1]
    for name in sorted(os.listdir(folder)):
        if name.endswith(".ref"):
            continue
        with open(os.path.join(folder, name)) as f:
            lines = f.read().splitlines()
        sigma_db, sigma_deg = map(float, lines[0].split())
        freq = np.array(lines[1].split(), dtype=float)
        out = []
        for k in range(2, len(lines), 3):
            f0, q = map(float, lines[k].split())
            phase = np.array(lines[k + 1].split(), dtype=float)
            magnitude = np.array(lines[k + 2].split(), dtype=float)
            out.append("%.17g %.17g\n" % fit(freq, phase, magnitude, sigma_deg, sigma_db, f0, q))
        with open(os.path.join(folder, name + ".ref"), "w") as f:
            f.writelines(out)


if __name__ == "__main__":
    main()
