// A wallet user's session against the real node with viem 2: a local
// account signs, every fee is left to viem's defaults.
//
//   node viem_wallet.mjs <rozeve binary> <work dir>
//
// Exit status: 0 when every check passed, 1 when one failed, 77 when viem
// cannot be loaded.

import { CHAIN_ID, RUZ, check, checkEqual, importClient, runSession, step } from './support.mjs';

const viem = await importClient('viem');
const { privateKeyToAccount } = await importClient('viem/accounts');
const { createPublicClient, createWalletClient, defineChain, http, parseEther, parseGwei } = viem;

// Keys of this session alone: a fresh data directory knows none of them.
const KEY_SENDER = '0x' + '51'.repeat(32);
// Only ever receives: its balance is first read after a transfer reached it.
const RECIPIENT = '0x' + 'd1d1'.repeat(10);
// A client polls for new blocks this often (viem's default is 4 s).
const POLLING_MS = 100;

async function session({ url }) {
  const chain = defineChain({
    id: CHAIN_ID,
    name: 'ZezozuRiziv',
    nativeCurrency: { name: 'RUZ', symbol: 'RUZ', decimals: 18 },
    rpcUrls: { default: { http: [url] } },
  });
  const account = privateKeyToAccount(KEY_SENDER);
  const reader = createPublicClient({ chain, transport: http(url), pollingInterval: POLLING_MS });
  // The same reads sent as JSON-RPC batches.
  const batching = createPublicClient({ chain, transport: http(url, { batch: true }),
    pollingInterval: POLLING_MS });
  const wallet = createWalletClient({ account, chain, transport: http(url), pollingInterval: POLLING_MS });
  const sender = account.address;

  console.log('1. network');
  checkEqual(await step(reader.getChainId(), 'getChainId'), CHAIN_ID, 'chain id');
  checkEqual(await step(reader.getBlockNumber(), 'getBlockNumber'), 0n, 'height of a new chain');
  const latest = await step(reader.getBlock(), 'getBlock');
  checkEqual(latest.baseFeePerGas, parseGwei('1'), 'the latest block carries a base fee of 1 gwei');

  console.log('2. welcome credit');
  checkEqual(await step(reader.getBalance({ address: sender }), 'getBalance'), 100n * RUZ,
    'a new wallet holds 100 RUZ');

  console.log('3. fees');
  const fees = await step(reader.estimateFeesPerGas(), 'estimateFeesPerGas');
  // viem: the priority fee the node quotes, plus the base fee times 1.2.
  checkEqual(fees.maxPriorityFeePerGas, parseGwei('1'), 'maxPriorityFeePerGas');
  checkEqual(fees.maxFeePerGas, parseGwei('2.2'), 'maxFeePerGas');

  console.log('4. a transfer with the default fee settings');
  const dynamicHash = await step(wallet.sendTransaction({ to: RECIPIENT, value: parseEther('1') }),
    'sendTransaction');
  const dynamicReceipt = await step(reader.waitForTransactionReceipt({ hash: dynamicHash }),
    'waitForTransactionReceipt');
  checkEqual(dynamicReceipt.status, 'success', 'receipt status');
  checkEqual(dynamicReceipt.blockNumber, 1n, 'receipt block number');
  checkEqual(dynamicReceipt.transactionHash, dynamicHash, 'receipt hash');
  checkEqual(dynamicReceipt.from, sender.toLowerCase(), 'receipt from');
  const dynamic = await step(reader.getTransaction({ hash: dynamicHash }), 'getTransaction');
  checkEqual(dynamic.type, 'eip1559', 'viem chose a dynamic-fee (type 2) transfer');
  checkEqual(dynamic.from, sender.toLowerCase(), 'getTransaction from is the signer');
  checkEqual(dynamic.to, RECIPIENT, 'getTransaction to');
  checkEqual(dynamic.blockNumber, 1n, 'getTransaction block number');
  checkEqual(dynamic.nonce, 0, 'getTransaction nonce');

  console.log('5. a legacy transfer');
  const legacyHash = await step(wallet.sendTransaction({ to: RECIPIENT, value: parseEther('1'),
    type: 'legacy' }), 'sendTransaction legacy');
  const legacyReceipt = await step(reader.waitForTransactionReceipt({ hash: legacyHash }),
    'waitForTransactionReceipt legacy');
  checkEqual(legacyReceipt.status, 'success', 'legacy receipt status');
  checkEqual(legacyReceipt.blockNumber, 2n, 'legacy receipt block number');
  const legacy = await step(reader.getTransaction({ hash: legacyHash }), 'getTransaction legacy');
  checkEqual(legacy.type, 'legacy', 'the legacy transfer is legacy');
  checkEqual(legacy.from, sender.toLowerCase(), 'legacy from is the signer');
  checkEqual(legacy.chainId, CHAIN_ID, 'legacy chain id (EIP-155)');

  console.log('6. a transfer below the smallest amount');
  // 1,000 atomic units (0.001 RUZ): the fee would not be below the amount.
  try {
    const hash = await step(wallet.sendTransaction({ to: RECIPIENT, value: parseEther('0.001') }),
      'sendTransaction 0.001 RUZ');
    check(false, 'a transfer of 0.001 RUZ is refused', `accepted as ${hash}`);
  } catch (error) {
    check(String(error.details ?? error.message).includes('Importo minimo: 0.001001 RUZ'),
      'a transfer of 0.001 RUZ is refused with the smallest amount', error.details ?? error.message);
  }

  console.log('7. balances afterwards');
  // Each transfer: 1 RUZ out, 0.98 in; with no staked validator the sender
  // gets the validator's 0.4% back.
  checkEqual(await step(reader.getBalance({ address: RECIPIENT }), 'getBalance'), parseEther('1.96'),
    'the recipient got both transfers less the 2% fee');
  checkEqual(await step(reader.getBalance({ address: sender }), 'getBalance'), parseEther('98.008'),
    'the sender paid both transfers');
  checkEqual(await step(reader.getTransactionCount({ address: sender }), 'getTransactionCount'), 2,
    'the sender\'s nonce');
  const [height, balance, count] = await step(Promise.all([
    batching.getBlockNumber({ cacheTime: 0 }),
    batching.getBalance({ address: RECIPIENT }),
    batching.getTransactionCount({ address: sender }),
  ]), 'batched reads');
  check(height === 2n && balance === parseEther('1.96') && count === 2, 'the same reads in one batch',
    `height ${height}, balance ${balance}, nonce ${count}`);
}

await runSession('viem_wallet', session);
