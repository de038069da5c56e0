"""The trace of a loop run: the recorded pins' values, one numpy array per pin."""

import numpy as np


class Trace:
    """Recorded values of a run: ``trace["plant.CV1"]`` is a float64 array of one value per sample.

    `to_pandas()` gives a DataFrame (pandas optional); `plot()` draws each pin on a panel of its own
    (matplotlib optional). A trace pickles.
    """

    def __init__(self, names, data):
        self.names = list(names)
        self.data = np.asarray(data, dtype=np.float64).reshape(-1, len(self.names)) if self.names else \
            np.empty((len(data), 0))

    def __len__(self):
        return self.data.shape[0]

    def __getitem__(self, name):
        try:
            return self.data[:, self.names.index(name)]
        except ValueError:
            raise KeyError(name) from None

    def __contains__(self, name):
        return name in self.names

    def __iter__(self):
        return iter(self.names)

    def items(self):
        return [(n, self[n]) for n in self.names]

    def __eq__(self, other):
        return isinstance(other, Trace) and self.names == other.names and np.array_equal(self.data, other.data,
                                                                                         equal_nan=True)

    def __repr__(self):
        return f"<Trace of {len(self)} samples: {', '.join(self.names)}>"

    def to_pandas(self, Ts=None):
        """A DataFrame with a column per pin, indexed by sample (or by time, samples times `Ts`)."""
        import pandas as pd

        index = np.arange(len(self)) * (Ts if Ts is not None else 1)
        return pd.DataFrame(self.data, columns=self.names, index=pd.Index(index, name="time" if Ts else "sample"))

    def plot(self, names=None, Ts=None, units=None, title=None):
        """One panel per pin, sharing the time axis; `units`: pin -> unit text for the y labels. Returns the
        figure."""
        import matplotlib.pyplot as plt

        names = list(names or self.names)
        units = dict(units or {})
        t = np.arange(len(self)) * (Ts if Ts is not None else 1)
        fig, axes = plt.subplots(len(names), 1, sharex=True, figsize=(8, 1.8 * len(names) + 0.6), squeeze=False)
        for ax, name in zip(axes[:, 0], names):
            ax.plot(t, self[name])
            ax.set_title(name, fontsize=10)
            ax.set_ylabel(units.get(name, ""))
            ax.grid(True)
        axes[-1, 0].set_xlabel("time" if Ts is not None else "sample")
        if title:
            fig.suptitle(title)
        fig.tight_layout()
        return fig
