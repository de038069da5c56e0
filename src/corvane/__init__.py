"""corvane: process-control function blocks and process simulators."""
