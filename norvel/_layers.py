"""The risk layers of one graph, as a session holds them: their names,
their values per edge, the facts steps read on each, and the hours each
holds for, which a request by time (``at=``) chooses among without asking
the engine.
"""

from __future__ import annotations

import threading

import numpy as np
import numpy.typing as npt

from norvel import _requests, _values
from norvel._native import engine
from norvel._values import DEFAULT_RISK
from norvel.steps import EdgeFacts


class RiskLayers:
    """The layers of ``graph``, whose facts on "default" are ``facts``.
    Layers are only ever added, and hours given; any number of threads
    read them at once."""

    def __init__(self, graph: engine.Graph, facts: EdgeFacts) -> None:
        self._engine = graph
        self._facts = facts
        # The facts steps read on each other layer, made when first asked.
        self._layer_facts: dict[str, EdgeFacts] = {}
        self._lock = threading.Lock()
        # Read once here and again when they change.
        self.hours: _requests.Hours = tuple(graph.layer_hours)

    def names(self) -> list[str]:
        """"default" (the document's risk_score), then the other layers in
        the order they came."""
        return [DEFAULT_RISK, *self._engine.risk_layers]

    def add(self, name: object, values: npt.ArrayLike,
            hours: object = None) -> None:
        """Adds a layer, with the hours it holds for or none
        (``Router.add_risk`` says what is checked)."""
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, got {_values.kind(name)}")
        held = _values.layer_hours(hours)
        with self._lock:
            self._engine.add_risk(name, _values.risk_values(values), held)
            self.hours = tuple(self._engine.layer_hours)

    def set_hours(self, name: object, start: object, end: object) -> None:
        """Gives a layer the hours it holds for (``Router.set_hours``)."""
        layer = _values.risk(name, self.names())
        held = _values.hours(start, end)
        with self._lock:
            self._engine.set_hours(layer, *held)
            self.hours = tuple(self._engine.layer_hours)

    def risks(self, layer: str) -> npt.NDArray[np.float64]:
        """The risk of every edge on ``layer`` (a known layer's name), in
        document order."""
        return self._engine.layer_risks(layer)

    def facts(self, layer: str = DEFAULT_RISK) -> EdgeFacts:
        """What steps read of each edge on a layer: the layer's risks, and
        the lengths, names and highway classes every layer shares."""
        if layer == DEFAULT_RISK:
            return self._facts
        with self._lock:
            facts = self._layer_facts.get(layer)
            if facts is None:
                facts = self._facts.on_layer(layer)
                self._layer_facts[layer] = facts
            return facts
