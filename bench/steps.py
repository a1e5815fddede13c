"""Every step of the benchmark in one class, Bench, made of its three parts: the programs and the
costs (costs.py), the latencies (latency.py) and the clipboard loans (loans.py). Imported once the
executables' directory is known, since harness takes it at import."""

from costs import Costs
from latency import Latencies
from loans import Loans


class Bench(Latencies, Loans, Costs):
    """The session, its programs, the sizes and the table are set up by Costs."""
