import os
from typing import (IO, Any, Dict, Hashable, Iterable, Literal, Optional, Protocol, Sequence,
                    Tuple, Union)

import numpy as np
import numpy.typing as npt
import pandas

MAX_COLUMNS: int
__version__: str

class _Readable(Protocol):
    def read(self, size: int = ...) -> Union[bytes, str]: ...

_Input = Union[str, bytes, os.PathLike, IO[bytes], IO[str], _Readable]
_Discard = Union[int, Literal["auto"]]

class VarblocError(ValueError):
    code: int
    line: Optional[int]
    column: Optional[int]
    text: Optional[str]

class VarblocWarning(UserWarning):
    code: int
    count: int
    first: str
    def __init__(self, code: int, count: int, first: str) -> None: ...

class AutomaticEstimate:
    error: npt.NDArray[np.float64]
    error_error: npt.NDArray[np.float64]
    block_size: npt.NDArray[np.int64]
    tau: npt.NDArray[np.float64]
    ess: npt.NDArray[np.float64]
    reliable: npt.NDArray[np.bool_]
    reason: Tuple[str, ...]

class PairwiseLevels:
    block_sizes: npt.NDArray[np.int64]
    counts: npt.NDArray[np.int64]
    errors: npt.NDArray[np.float64]
    correlations: npt.NDArray[np.float64]
    error_errors: npt.NDArray[np.float64]

class Equilibration:
    start: npt.NDArray[np.int64]
    tau: npt.NDArray[np.float64]
    ess: npt.NDArray[np.float64]
    block_size: npt.NDArray[np.int64]
    reason: Tuple[str, ...]
    candidates: npt.NDArray[np.int64]
    ess_curve: npt.NDArray[np.float64]

class Result:
    samples: int
    mean: npt.NDArray[np.float64]
    error: npt.NDArray[np.float64]
    correlation: npt.NDArray[np.float64]
    decorrelated: npt.NDArray[np.bool_]
    level: npt.NDArray[np.intp]
    count: npt.NDArray[np.int64]
    block_sizes: npt.NDArray[np.int64]
    counts: npt.NDArray[np.int64]
    level_errors: npt.NDArray[np.float64]
    level_correlations: npt.NDArray[np.float64]
    level_error_errors: npt.NDArray[np.float64]
    automatic: AutomaticEstimate
    pairwise: PairwiseLevels
    names: Tuple[Hashable, ...]
    warnings: Tuple[Tuple[int, str, int], ...]
    input: Optional[Union[str, bytes]]
    discarded: int
    decompressor_status: Optional[int]
    equilibration: Optional[Equilibration]
    @property
    def columns(self) -> int: ...
    def report(self) -> str: ...
    def automatic_report(self) -> str: ...
    def summary(self) -> pandas.DataFrame: ...
    def to_dict(self) -> Dict[str, Any]: ...
    def to_json(self) -> str: ...
    def to_pandas(self) -> pandas.DataFrame: ...

class Accumulator:
    def __init__(
        self,
        columns: int,
        names: Optional[Sequence[Hashable]] = ...,
        *,
        start: int = ...,
    ) -> None: ...
    @property
    def columns(self) -> int: ...
    @property
    def names(self) -> Tuple[Hashable, ...]: ...
    @property
    def start(self) -> int: ...
    def __len__(self) -> int: ...
    def add(self, data: npt.ArrayLike) -> "Accumulator": ...
    def merge(self, other: "Accumulator") -> "Accumulator": ...
    def result(self) -> Result: ...

def block(
    data: npt.ArrayLike,
    names: Optional[Sequence[Hashable]] = ...,
    discard: _Discard = ...,
) -> Result: ...
def equilibration(data: npt.ArrayLike) -> Equilibration: ...
def load(
    path: _Input,
    columns: Optional[int] = ...,
    skip_columns: int = ...,
    discard: int = ...,
    budget: int = ...,
) -> npt.NDArray[np.float64]: ...
def block_file(
    path: _Input,
    columns: Optional[int] = ...,
    skip_columns: int = ...,
    discard: _Discard = ...,
    budget: int = ...,
) -> Result: ...
def block_files(
    paths: Iterable[_Input],
    columns: Optional[int] = ...,
    skip_columns: int = ...,
    discard: int = ...,
) -> Result: ...
