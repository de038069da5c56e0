"""What the plant server and the gateway agree on: where the variables are, and which values a block may take."""

import math

NAMESPACE = "urn:corvane:plant"
HEARTBEAT = "Heartbeat"


def good_number(value):
    """True for a finite int or float (not a bool): a value a block may take."""
    return type(value) in (int, float) and math.isfinite(value)
