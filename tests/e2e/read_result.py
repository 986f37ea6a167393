"""Prints facts about a result file, one "key value" line each, read with
scipy.io.loadmat so that the file is checked by an independent reader."""
import math
import sys

import numpy as np
import scipy.io

m = scipy.io.loadmat(sys.argv[1])
info = m["SweepInfo"][0, 0]
data = m["SweepData"]
ann = m["Annotations"][0, 0]
print("Variables", ",".join(sorted(k for k in m if not k.startswith("__"))))
print("SweepInfoFields", ",".join(info.dtype.names))
print("OriginalFilename", ann["OriginalFilename"][0] if ann["OriginalFilename"].size else "")
print("NumberOfSweeps", int(info["NumberOfSweeps"][0, 0]))
print("NumberOfSubSweeps", int(info["NumberOfSubSweeps"][0, 0]))
print("SweepVectorLength", ",".join(str(int(v)) for v in info["SweepVectorLength"].ravel()))
print("SweepDataShape", "%dx%d" % data.shape)
print("PhaseShape", "%dx%d" % data[0, 0]["Phase"].shape)
print("MagnitudeShape", "%dx%d" % data[0, 0]["Magnitude"].shape)
samples = [int(data[0, i]["SampleNumber"][0, 0]) for i in range(data.shape[1])]
print("SampleNumbers", ",".join(map(str, samples)))
print("FirstTimeIsNaN", int(math.isnan(data[0, 0]["MeasurementTime"][0, 0])))
ph = data[0, 0]["Phase"]
print("PhaseFinite", int(np.isfinite(ph).all()) if ph.size else 1)
