"""A minimal self-play policy-gradient loop on GameBatch (REINFORCE, no baseline).

Every step picks a move for all 64 games in one forward pass; each finished game's moves are
reinforced with that game's result from the mover's side. Run it as a script, or import
`train` and pass fewer steps.
"""

import torch

from quellor_selfplay import GameBatch


def train(steps=3000, games=64, seed=0):
    torch.manual_seed(seed)
    batch = GameBatch(games, rules="dark", observation="own", max_plies=150, auto_reset=True, seed=seed)
    net = torch.nn.Sequential(
        torch.nn.Flatten(), torch.nn.Linear(64 * 106, 128), torch.nn.ReLU(), torch.nn.Linear(128, 4352)
    )
    optimizer = torch.optim.Adam(net.parameters(), lr=1e-3)
    moves = [[] for _ in range(games)]  # per game: (observation, mask, slot, mover is White)
    results = []
    for _ in range(steps):
        # A game that ended on the last step has an empty mask: it restarts on this step and
        # its entry is ignored.
        live = batch.legal_action_mask.any(dim=1)
        actions = torch.zeros(games, dtype=torch.int64)
        with torch.no_grad():
            logits = net(batch.observation[live].float())
            logits = logits.masked_fill(~batch.legal_action_mask[live], float("-inf"))
            actions[live] = torch.distributions.Categorical(logits=logits).sample()
        for i in live.nonzero().flatten().tolist():
            moves[i].append((batch.observation[i].clone(), batch.legal_action_mask[i].clone(),
                             int(actions[i]), bool(batch.to_move[i])))
        batch.step(actions)

        ended = (batch.terminated | batch.truncated).nonzero().flatten().tolist()
        if not ended:
            continue
        observations, masks, slots, returns = [], [], [], []
        for i in ended:
            white_reward = float(batch.rewards[i, 0])
            results.append(white_reward)
            for observation, mask, slot, white in moves[i]:
                observations.append(observation)
                masks.append(mask)
                slots.append(slot)
                returns.append(white_reward if white else -white_reward)
            moves[i] = []
        logits = net(torch.stack(observations).float()).masked_fill(~torch.stack(masks), float("-inf"))
        log_probs = torch.log_softmax(logits, dim=1)[torch.arange(len(slots)), torch.tensor(slots)]
        loss = -(log_probs * torch.tensor(returns)).mean()
        optimizer.zero_grad()
        loss.backward()
        optimizer.step()
    return net, results


if __name__ == "__main__":
    _, results = train()
    print(f"{len(results)} games, White scored {sum(r > 0 for r in results)} wins and {sum(r < 0 for r in results)} losses")
