// A wallet user's session against the real node with web3.js 4: an account
// in web3's wallet signs, every fee is left to web3's defaults.
//
//   node web3_wallet.mjs <rozeve binary> <work dir>
//
// Exit status: 0 when every check passed, 1 when one failed, 77 when web3
// cannot be loaded.

import { CHAIN_ID, RUZ, check, checkEqual, importClient, runSession, step } from './support.mjs';

const { Web3 } = await importClient('web3');

// Keys of this session alone: a fresh data directory knows none of them.
const KEY_SENDER = '0x' + '61'.repeat(32);
// Only ever receives: its balance is first read after a transfer reached it.
const RECIPIENT = '0x' + 'e1e1'.repeat(10);
// How often web3 asks for a receipt (its default is 1 s).
const POLLING_MS = 100;

async function session({ url }) {
  const web3 = new Web3(url);
  web3.eth.transactionPollingInterval = POLLING_MS;
  web3.eth.transactionReceiptPollingInterval = POLLING_MS;
  // A sent transfer is done at its receipt; no later blocks are awaited.
  web3.eth.transactionConfirmationBlocks = 1;
  const [account] = web3.eth.accounts.wallet.add(KEY_SENDER);
  const sender = account.address;
  const ether = (text) => BigInt(web3.utils.toWei(text, 'ether'));
  const gwei = (text) => BigInt(web3.utils.toWei(text, 'gwei'));

  console.log('1. network');
  checkEqual(await step(web3.eth.getChainId(), 'getChainId'), BigInt(CHAIN_ID), 'chain id');
  checkEqual(await step(web3.eth.net.getId(), 'net.getId'), BigInt(CHAIN_ID), 'network id');
  checkEqual(await step(web3.eth.getBlockNumber(), 'getBlockNumber'), 0n, 'height of a new chain');
  const latest = await step(web3.eth.getBlock('latest'), 'getBlock');
  checkEqual(latest.baseFeePerGas, gwei('1'), 'the latest block carries a base fee of 1 gwei');

  console.log('2. welcome credit');
  checkEqual(await step(web3.eth.getBalance(sender), 'getBalance'), 100n * RUZ, 'a new wallet holds 100 RUZ');

  console.log('3. fees');
  const fees = await step(web3.eth.calculateFeeData(), 'calculateFeeData');
  checkEqual(fees.baseFeePerGas, gwei('1'), 'base fee');
  // web3: the priority fee the node quotes, plus twice the base fee.
  checkEqual(fees.maxPriorityFeePerGas, gwei('1'), 'maxPriorityFeePerGas');
  checkEqual(fees.maxFeePerGas, gwei('3'), 'maxFeePerGas');

  console.log('4. a transfer with the default fee settings');
  const dynamicReceipt = await step(web3.eth.sendTransaction({ from: sender, to: RECIPIENT,
    value: ether('1') }), 'sendTransaction');
  checkEqual(dynamicReceipt.status, 1n, 'receipt status');
  checkEqual(dynamicReceipt.blockNumber, 1n, 'receipt block number');
  checkEqual(dynamicReceipt.from, sender.toLowerCase(), 'receipt from');
  const dynamicHash = dynamicReceipt.transactionHash;
  const fetched = await step(web3.eth.getTransactionReceipt(dynamicHash), 'getTransactionReceipt');
  checkEqual(fetched.transactionHash, dynamicHash, 'getTransactionReceipt finds it');
  const dynamic = await step(web3.eth.getTransaction(dynamicHash), 'getTransaction');
  checkEqual(dynamic.type, 2n, 'web3 chose a dynamic-fee (type 2) transfer');
  checkEqual(dynamic.from, sender.toLowerCase(), 'getTransaction from is the signer');
  checkEqual(dynamic.to, RECIPIENT, 'getTransaction to');
  checkEqual(dynamic.blockNumber, 1n, 'getTransaction block number');
  checkEqual(dynamic.nonce, 0n, 'getTransaction nonce');

  console.log('5. a legacy transfer');
  const legacyReceipt = await step(web3.eth.sendTransaction({ from: sender, to: RECIPIENT,
    value: ether('1'), type: 0 }), 'sendTransaction legacy');
  checkEqual(legacyReceipt.status, 1n, 'legacy receipt status');
  checkEqual(legacyReceipt.blockNumber, 2n, 'legacy receipt block number');
  const legacy = await step(web3.eth.getTransaction(legacyReceipt.transactionHash), 'getTransaction legacy');
  checkEqual(legacy.type, 0n, 'the legacy transfer is legacy');
  checkEqual(legacy.from, sender.toLowerCase(), 'legacy from is the signer');

  console.log('6. a transfer below the smallest amount');
  // 1 atomic unit (10^12 wei): the fee would not be below the amount.
  try {
    const receipt = await step(web3.eth.sendTransaction({ from: sender, to: RECIPIENT,
      value: ether('0.000001') }), 'sendTransaction 0.000001 RUZ');
    check(false, 'a transfer of 1 atomic unit is refused', `accepted in block ${receipt.blockNumber}`);
  } catch (error) {
    const texts = [error.message, error.innerError?.message, error.cause?.message]
      .filter((t) => typeof t === 'string');
    check(texts.some((t) => t.includes('Importo minimo: 0.001001 RUZ')),
      'a transfer of 1 atomic unit is refused with the smallest amount', JSON.stringify(texts));
  }

  console.log('7. balances afterwards');
  // Each transfer: 1 RUZ out, 0.98 in; with no staked validator the sender
  // gets the validator's 0.4% back.
  checkEqual(await step(web3.eth.getBalance(RECIPIENT), 'getBalance'), ether('1.96'),
    'the recipient got both transfers less the 2% fee');
  checkEqual(await step(web3.eth.getBalance(sender), 'getBalance'), ether('98.008'),
    'the sender paid both transfers');
  checkEqual(await step(web3.eth.getTransactionCount(sender), 'getTransactionCount'), 2n,
    'the sender\'s nonce');
}

await runSession('web3_wallet', session);
