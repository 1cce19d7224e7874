#!/usr/bin/python3
"""tools/plot_passage on the sample passage as the program weighs it: the
whole passage and one vehicle drawn, its flat wheel marked, refusals exit 2."""
import os
import subprocess
import sys
import tempfile

BUILD, SOURCE = sys.argv[1], os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
try:
    import matplotlib  # noqa: F401
except ImportError:
    print("skipped: /usr/bin/python3 cannot import matplotlib (Debian's python3-matplotlib)")
    sys.exit(77)
with tempfile.TemporaryDirectory() as work:
    p = os.path.join(work, "sample")
    subprocess.run([BUILD + "/synth", SOURCE + "/tools/sample_train.json", p], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([BUILD + "/korvanet", p + ".osc", "--config-file=" + p + ".json.conf"], check=True,
                   stderr=subprocess.DEVNULL, env=dict(os.environ, TARVIK_TRACE=p + ".trace"))
    plot = [sys.executable, SOURCE + "/tools/plot_passage", p + ".osc", p + ".json.conf"]
    subprocess.run(plot + [p + ".trace", "-o", p + ".png"], check=True)
    assert open(p + ".png", "rb").read(8) == b"\x89PNG\r\n\x1a\n"
    subprocess.run(plot + [p + ".trace", "-o", p + ".svg", "--vehicles", "5"], check=True)
    assert "flat 40 %" in open(p + ".svg").read(), "vehicle 5's flat wheel is not marked"
    open(p + ".empty", "w").close()
    for trace, more, why in ((".empty", [], "holds no measuring line"), (".trace", ["--vehicles", "8-9"], "not in the train")):
        run = subprocess.run(plot + [p + trace, "-o", p + ".x.png"] + more, capture_output=True, text=True)
        assert run.returncode == 2 and why in run.stderr, run.stderr
print("plot_passage: pictures drawn, flat marked, refusals given")
