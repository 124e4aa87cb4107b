"""The PettingZoo environment and the OpenSpiel game."""
