"""The argument types the companion's classes accept, for annotations and stubs."""

from typing import Any, Mapping, Sequence, Tuple, Union

import numpy as np
from numpy.typing import NDArray

# A vector: a sequence of numbers, or a NumPy array (a 1-D C-contiguous float32 or
# float64 one is read without a Python object per component).
VectorLike = Union[Sequence[float], NDArray[np.floating[Any]]]
# Rows of vectors: a sequence of VectorLike, or a 2-D NumPy array (a C-contiguous
# float32 one is used in place, not copied).
RowsLike = Union[Sequence[VectorLike], NDArray[np.floating[Any]]]
IdsLike = Union[Sequence[int], NDArray[np.integer[Any]]]
# Metadata and filters: JSON text, or a mapping that json.dumps turns into it.
MetadataLike = Union[str, Mapping[str, Any]]
FilterLike = Union[str, Mapping[str, Any], None]
Hit = Tuple[int, float, str]
