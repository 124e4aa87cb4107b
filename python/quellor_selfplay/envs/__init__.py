"""quellor in the shapes reinforcement-learning libraries take.

- :mod:`quellor_selfplay.envs.pettingzoo`: a PettingZoo AEC environment (``pip install
  'quellor[pettingzoo]'``);
- :mod:`quellor_selfplay.envs.openspiel`: the OpenSpiel game ``python_quellor_fog_chess``
  (``pip install 'quellor[openspiel]'``).

Both hold one game in a ``GameBatch(1)`` and keep no rules of their own.
"""
