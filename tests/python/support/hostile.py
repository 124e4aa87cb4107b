"""Files made to run code when a careless reader loads them: each one's code creates a marker
file, so a test sees whether it ran."""

import torch
from torch import nn


class MarkerModule(nn.Module):
    """A TorchScript module whose loading (__setstate__) and forward each create a file."""

    def __init__(self, marker: str) -> None:
        super().__init__()
        self.marker = marker
        self.touched = torch.zeros(1)

    def forward(self, observations: torch.Tensor) -> torch.Tensor:
        # from_file with shared=True opens the file for writing and creates it; its result is
        # used so that the compiler keeps the call.
        touched = torch.from_file(self.marker + ".forward", shared=True, size=1)
        return torch.zeros(observations.shape[0], 4352) + touched.sum() * 0

    @torch.jit.export
    def __getstate__(self) -> tuple[str, bool]:
        return (self.marker, self.training)

    @torch.jit.export
    def __setstate__(self, state: tuple[str, bool]) -> None:
        self.marker = state[0]
        self.training = state[1]
        self.touched = torch.from_file(self.marker + ".load", shared=True, size=1)


def marker_module(path, marker):
    """Writes the scripted MarkerModule to `path`; its markers are `marker`.load and .forward."""
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        torch.jit.script(MarkerModule(str(marker))).save(str(path))
