// A wallet user's session against the real node: ethers v6 over HTTP on
// 127.0.0.1, signing its own transfers.
//
//   node ethers_wallet.mjs <rozeve binary> <work dir>
//
// Exit status: 0 when every check passed, 1 when one failed, 77 when ethers
// cannot be loaded.

import { CHAIN_ID, RUZ, STEP_TIMEOUT_MS, check, checkEqual, importClient, runSession, step }
  from './support.mjs';

const { ethers } = await importClient('ethers');

const ruz = (text) => ethers.parseEther(text);

// Deterministic keys: a fresh data directory knows none of them.
const KEY_FIRST = '0x' + '46'.repeat(32);
const KEY_SECOND = '0x' + '47'.repeat(32);
const KEY_PENNILESS = '0x' + '49'.repeat(32);
// Accounts that only ever receive; their balance is first read after a
// transfer reached them, so the welcome credit never applies to them.
const RECIPIENT = ethers.getAddress('0x' + 'b0b0'.repeat(10));
const BYSTANDER = ethers.getAddress('0x' + 'c0c0'.repeat(10));
// The token contract the node answers eth_call for (balanceOf reads a
// balance without the welcome credit).
const TOKEN = '0x1000000000000000000000000000000000000001';

// Every text ethers keeps of a refusal: its own message and the node's.
function errorTexts(error) {
  return [error?.message, error?.shortMessage, error?.info?.error?.message, error?.error?.message]
    .filter((t) => typeof t === 'string');
}

// A broadcast the node must refuse, with its Italian reason in the message.
async function expectRefused(promise, italian, what) {
  try {
    const answer = await step(promise, what);
    check(false, `${what} is refused`, `accepted, answer ${JSON.stringify(answer?.hash ?? answer)}`);
  } catch (error) {
    if (/no answer within/.test(error.message)) {
      check(false, `${what} is refused`, error.message);
      return;
    }
    check(error.message.includes(italian), `${what} is refused with "${italian}"`,
      `error texts: ${JSON.stringify(errorTexts(error))}`);
  }
}

// Balance, nonce and height: what a refusal must leave as it was.
async function ledgerView(provider, address) {
  const [balance, nonce, height] = await step(Promise.all([
    provider.getBalance(address),
    provider.getTransactionCount(address),
    provider.getBlockNumber(),
  ]), 'ledger view');
  return { balance, nonce, height };
}

// A balance read through the token's balanceOf, which credits nothing.
async function tokenBalance(provider, address) {
  const data = '0x70a08231' + address.slice(2).toLowerCase().padStart(64, '0');
  return BigInt(await step(provider.call({ to: TOKEN, data }), 'eth_call balanceOf'));
}

// Sends one transfer and checks what every wallet checks afterwards.
async function transfer(provider, wallet, request, expectedHeight, what) {
  const response = await step(wallet.sendTransaction(request), `${what}: sendTransaction`);
  // ethers has already compared the answered hash with its own.
  const receipt = await step(response.wait(1, STEP_TIMEOUT_MS), `${what}: wait`);
  check(receipt !== null, `${what}: a receipt`);
  if (receipt === null) return response;
  checkEqual(receipt.status, 1, `${what}: receipt status`);
  checkEqual(receipt.blockNumber, expectedHeight, `${what}: receipt block number`);
  checkEqual(receipt.hash, response.hash, `${what}: receipt hash`);
  checkEqual(receipt.from, wallet.address, `${what}: receipt from`);
  checkEqual(receipt.to, ethers.getAddress(request.to), `${what}: receipt to`);
  const block = await step(provider.getBlock(expectedHeight), `${what}: getBlock`);
  check(block !== null && block.hash === receipt.blockHash,
    `${what}: block ${expectedHeight} is the receipt's`, JSON.stringify(block?.hash));
  const mined = await step(provider.getTransaction(response.hash), `${what}: getTransaction`);
  check(mined !== null, `${what}: getTransaction finds it`);
  if (mined !== null) {
    checkEqual(mined.from, wallet.address, `${what}: getTransaction from is the signer`);
    checkEqual(mined.to, ethers.getAddress(request.to), `${what}: getTransaction to`);
    checkEqual(mined.blockNumber, expectedHeight, `${what}: getTransaction block number`);
    checkEqual(mined.nonce, response.nonce, `${what}: getTransaction nonce`);
  }
  return response;
}

// Counts the batches ethers sends, to know the array answers were used.
class WatchedProvider extends ethers.JsonRpcProvider {
  largestBatch = 0;
  async _send(payload) {
    if (Array.isArray(payload)) this.largestBatch = Math.max(this.largestBatch, payload.length);
    return super._send(payload);
  }
}

async function session({ url }) {
  // ethers answers a repeated call from its own cache for 250 ms; every read
  // here follows a write and must reach the node.
  const noCache = { cacheTimeout: -1 };
  // The wallet's provider: the network given, batching as ethers defaults.
  const provider = new WatchedProvider(url, CHAIN_ID, { ...noCache, staticNetwork: true });
  // A second client that detects the network and sends one call at a time.
  const detecting = new ethers.JsonRpcProvider(url, undefined, { ...noCache, batchMaxCount: 1 });
  const first = new ethers.Wallet(KEY_FIRST, provider);
  const second = new ethers.Wallet(KEY_SECOND, provider);
  const penniless = new ethers.Wallet(KEY_PENNILESS);
  const providers = [provider, detecting];
  try {
    console.log('1. network and height');
    checkEqual((await step(provider.getNetwork(), 'getNetwork')).chainId, BigInt(CHAIN_ID),
      'chain id (given network)');
    checkEqual((await step(detecting.getNetwork(), 'getNetwork detected')).chainId,
      BigInt(CHAIN_ID), 'chain id (detected network)');
    checkEqual(await step(provider.getBlockNumber(), 'getBlockNumber'), 0, 'height of a new chain');
    checkEqual(await step(detecting.getBlockNumber(), 'getBlockNumber'), 0,
      'height of a new chain (unbatched)');
    const genesis = await step(provider.getBlock(0), 'getBlock(0)');
    checkEqual(genesis?.number, 0, 'block 0 is the genesis block');
    checkEqual(await step(provider.getBlock(1), 'getBlock(1)'), null, 'block 1 does not exist yet');

    console.log('2. welcome credit');
    checkEqual(await step(provider.getBalance(first.address), 'getBalance'), 100n * RUZ,
      'a new wallet holds 100 RUZ');
    checkEqual(await step(detecting.getBalance(first.address), 'getBalance'), 100n * RUZ,
      'the credit is given once');

    console.log('3. transfers signed by the wallet');
    const legacy = await transfer(provider, first, { to: RECIPIENT, value: ruz('1'), type: 0 }, 1,
      'legacy transfer');
    checkEqual(legacy.type, 0, 'ethers sent a legacy transfer when asked for one');
    checkEqual(await step(provider.getBalance(RECIPIENT), 'getBalance'), ruz('0.98'),
      'the recipient gets 1 RUZ less the 2% fee');
    // With no staked validator the sender is the block's validator and gets
    // back the validator's 0.4% of the fee.
    checkEqual(await step(provider.getBalance(first.address), 'getBalance'), ruz('99.004'),
      'the sender paid 1 RUZ and got the validator share back');
    checkEqual(await step(provider.getTransactionCount(first.address), 'getTransactionCount'), 1,
      'the sender\'s nonce');
    checkEqual(await step(provider.getBlockNumber(), 'getBlockNumber'), 1, 'height after one transfer');

    // A transfer with ethers' default fee settings, signed here and
    // broadcast: its raw bytes are kept to replay them below. The blocks
    // carry a base fee, so ethers picks a dynamic-fee (type 2) transfer.
    const populated = await step(first.populateTransaction({ to: RECIPIENT, value: ruz('1') }),
      'populateTransaction');
    checkEqual(populated.chainId, BigInt(CHAIN_ID), 'the wallet signs for the node\'s chain');
    checkEqual(populated.type, 2, 'default fee settings give a type 2 transfer');
    // ethers: twice the base fee of 1 gwei plus the priority fee of 1 gwei.
    checkEqual(populated.maxFeePerGas, ethers.parseUnits('3', 'gwei'), 'maxFeePerGas from the base fee');
    const dynamicRaw = await first.signTransaction(populated);
    const dynamic = await step(provider.broadcastTransaction(dynamicRaw), 'broadcast type 2');
    checkEqual(dynamic.hash, ethers.keccak256(dynamicRaw), 'the answered hash is keccak-256 of the raw bytes');
    const dynamicReceipt = await step(dynamic.wait(1, STEP_TIMEOUT_MS), 'type 2: wait');
    checkEqual(dynamicReceipt?.status, 1, 'type 2 transfer: receipt status');
    checkEqual(dynamicReceipt?.blockNumber, 2, 'type 2 transfer: receipt block number');
    const dynamicMined = await step(provider.getTransaction(dynamic.hash), 'type 2: getTransaction');
    checkEqual(dynamicMined?.from, first.address, 'type 2 transfer: from is the signer');
    checkEqual(dynamicMined?.type, 2, 'type 2 transfer: type');
    checkEqual(await step(provider.getBalance(RECIPIENT), 'getBalance'), ruz('1.96'),
      'the recipient got both transfers');
    checkEqual(await step(provider.getBalance(first.address), 'getBalance'), ruz('98.008'),
      'the sender paid both transfers');
    checkEqual(await step(provider.getTransactionCount(first.address), 'getTransactionCount'), 2,
      'the sender\'s nonce after two transfers');

    console.log('4. refused transfers change nothing');
    const before = await ledgerView(provider, first.address);
    const offline = new ethers.Wallet(KEY_FIRST);
    const fields = { to: RECIPIENT, value: ruz('1'), gasLimit: 21000n,
      gasPrice: ethers.parseUnits('1', 'gwei'), type: 0 };
    await expectRefused(
      provider.broadcastTransaction(await offline.signTransaction({ ...fields, nonce: before.nonce, chainId: 1 })),
      'Chain ID non valido', 'a legacy transfer signed for chain 1');
    await expectRefused(
      provider.broadcastTransaction(await offline.signTransaction({
        to: RECIPIENT, value: ruz('1'), gasLimit: 21000n, nonce: before.nonce, chainId: 1, type: 2,
        maxFeePerGas: ethers.parseUnits('2', 'gwei'), maxPriorityFeePerGas: ethers.parseUnits('1', 'gwei'),
      })),
      'Chain ID non valido', 'a type 2 transfer signed for chain 1');
    await expectRefused(
      provider.broadcastTransaction(await offline.signTransaction({ ...fields, nonce: before.nonce, chainId: 0 })),
      'senza chain ID', 'a legacy transfer without a chain id');
    await expectRefused(
      provider.broadcastTransaction(await offline.signTransaction({ ...fields, nonce: 0, chainId: CHAIN_ID })),
      'Nonce non valido', 'a transfer with a stale nonce');
    await expectRefused(provider.broadcastTransaction(dynamicRaw), 'Nonce non valido',
      'the type 2 transfer replayed');
    await expectRefused(
      provider.broadcastTransaction(await offline.signTransaction({
        ...fields, value: ruz('1000'), nonce: before.nonce, chainId: CHAIN_ID })),
      'Saldo insufficiente', 'a transfer above the balance');
    await expectRefused(
      provider.broadcastTransaction(await offline.signTransaction({
        ...fields, value: 0n, nonce: before.nonce, chainId: CHAIN_ID })),
      'Importo minimo', 'a transfer of nothing');
    // 1 and 1,000 atomic units: the fee (1,000 at least) would not be below
    // the amount, so taking them would create coins.
    for (const [value, what] of [[ruz('0.000001'), '1 atomic unit'], [ruz('0.001'), '1,000 atomic units']]) {
      await expectRefused(
        provider.broadcastTransaction(await offline.signTransaction({
          ...fields, value, nonce: before.nonce, chainId: CHAIN_ID })),
        'Importo minimo: 0.001001 RUZ', `a transfer of ${what}`);
    }
    const after = await ledgerView(provider, first.address);
    checkEqual(after.balance, before.balance, 'the balance after the refusals');
    checkEqual(after.nonce, before.nonce, 'the nonce after the refusals');
    checkEqual(after.height, before.height, 'the height after the refusals');
    checkEqual(await step(provider.getBalance(RECIPIENT), 'getBalance'), ruz('1.96'),
      'the recipient after the refusals');

    // An account that never met the welcome credit holds nothing to send.
    await expectRefused(
      provider.broadcastTransaction(await penniless.signTransaction({ ...fields, nonce: 0, chainId: CHAIN_ID })),
      'Saldo insufficiente', 'a transfer from an account without funds');
    checkEqual(await tokenBalance(provider, penniless.address), 0n,
      'the account without funds still holds nothing');
    checkEqual(await step(provider.getTransactionCount(penniless.address), 'getTransactionCount'), 0,
      'the account without funds keeps nonce 0');
    checkEqual(await step(provider.getBlockNumber(), 'getBlockNumber'), before.height,
      'no block for the refused transfer');

    console.log('5. the sender is the signer');
    // The second wallet's first query makes it the node's "current wallet".
    checkEqual(await step(provider.getBalance(second.address), 'getBalance'), 100n * RUZ,
      'the second wallet gets its welcome credit');
    const firstBefore = await step(provider.getBalance(first.address), 'getBalance');
    await transfer(provider, first, { to: BYSTANDER, value: ruz('1') }, before.height + 1,
      'first wallet right after the second one asked');
    checkEqual(await step(provider.getBalance(second.address), 'getBalance'), 100n * RUZ,
      'the second wallet paid nothing for the first one\'s transfer');
    checkEqual(await step(provider.getBalance(first.address), 'getBalance'), firstBefore - ruz('0.996'),
      'the first wallet paid its own transfer');
    checkEqual(await step(provider.getBalance(BYSTANDER), 'getBalance'), ruz('0.98'),
      'the bystander received it');
    const firstMid = await step(provider.getBalance(first.address), 'getBalance');
    await transfer(provider, second, { to: first.address, value: ruz('1') }, before.height + 2,
      'second wallet to the first');
    checkEqual(await step(provider.getBalance(first.address), 'getBalance'), firstMid + ruz('0.98'),
      'the first wallet received 0.98 RUZ');
    checkEqual(await step(provider.getBalance(second.address), 'getBalance'), ruz('99.004'),
      'the second wallet paid its own transfer once');
    checkEqual(await step(provider.getTransactionCount(second.address), 'getTransactionCount'), 1,
      'the second wallet\'s nonce');

    console.log('6. unknown hashes');
    const unknown = ethers.hexlify(ethers.randomBytes(32));
    checkEqual(await step(provider.getTransactionReceipt(unknown), 'getTransactionReceipt'), null,
      'no receipt for a transaction that never happened');
    checkEqual(await step(provider.getTransaction(unknown), 'getTransaction'), null,
      'no transaction for an unknown hash');

    console.log('7. batches');
    const [balance, count, height] = await step(Promise.all([
      provider.getBalance(RECIPIENT), provider.getTransactionCount(first.address), provider.getBlockNumber(),
    ]), 'batched reads');
    checkEqual(balance, ruz('1.96'), 'batched balance');
    checkEqual(count, 3, 'batched nonce');
    checkEqual(height, before.height + 2, 'batched height');
    check(provider.largestBatch >= 2, 'ethers sent batches and read their answers',
      `largest batch ${provider.largestBatch}`);
  } finally {
    for (const p of providers) p.destroy();
  }
}

await runSession('ethers_wallet', session);
