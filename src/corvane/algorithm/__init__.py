"""Function blocks and process simulators, one extension module per deliverable.

Import the modules by name, for example ``from corvane.algorithm import loopcontrol``.
"""
