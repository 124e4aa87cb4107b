"""quellor in the shapes reinforcement-learning libraries take.

- :mod:`quellor_selfplay.envs.gymnasium`: Gymnasium environments, vector (self-play, or against
  a fixed opponent) and single (``pip install 'quellor[gymnasium]'``);
- :mod:`quellor_selfplay.envs.pettingzoo`: a PettingZoo AEC environment (``pip install
  'quellor[pettingzoo]'``);
- :mod:`quellor_selfplay.envs.openspiel`: the OpenSpiel game ``python_quellor_fog_chess``
  (``pip install 'quellor[openspiel]'``).

Each holds its games in a ``GameBatch`` and keeps no rules of its own.
"""
