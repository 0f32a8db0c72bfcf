// A wallet user's session against the real node: ethers v6 over HTTP on
// 127.0.0.1, signing its own transfers.
//
//   node ethers_wallet.mjs <rozeve binary> <work dir>
//
// Exit status: 0 when every check passed, 1 when one failed, 77 when ethers
// cannot be loaded.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';

let ethers;
try {
  ({ ethers } = await import('ethers'));
} catch (error) {
  console.log(`ethers cannot be loaded (${error.message}): skipped`);
  process.exit(77);
}

const CHAIN_ID = 202677;
const HOST = '127.0.0.1';
// The node's first answer, when it starts from an empty data directory.
const STARTUP_TIMEOUT_MS = 15_000;
// One provider call or one transfer with its receipt.
const STEP_TIMEOUT_MS = 20_000;
// SIGTERM to exit: the wait loop polls every 0.5 s.
const STOP_TIMEOUT_MS = 3_000;
// The whole run, whatever hangs.
const RUN_TIMEOUT_MS = 240_000;

const RUZ = 10n ** 18n;  // wei per RUZ as the wallet sees it
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

// The node under test, so that a stuck run does not leave it behind.
let running = null;

const failures = [];
function check(ok, what, detail = '') {
  if (ok) {
    console.log(`  ok    ${what}`);
  } else {
    console.log(`  FAIL  ${what}${detail ? ': ' + detail : ''}`);
    failures.push(what);
  }
  return ok;
}
function checkEqual(actual, expected, what) {
  return check(actual === expected, what, `got ${String(actual)}, expected ${String(expected)}`);
}

function withTimeout(promise, ms, what) {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}
const step = (promise, what) => withTimeout(promise, STEP_TIMEOUT_MS, what);

// Two ports that were free a moment ago, held together so they differ.
async function freePorts(count) {
  const servers = [];
  try {
    for (let i = 0; i < count; ++i) {
      const server = net.createServer();
      await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(0, HOST, resolve);
      });
      servers.push(server);
    }
    return servers.map((s) => s.address().port);
  } finally {
    await Promise.all(servers.map((s) => new Promise((resolve) => s.close(resolve))));
  }
}

// One JSON-RPC call by hand, to know when the node is up.
function rawCall(port, body, timeoutMs) {
  return new Promise((resolve, reject) => {
    const request = http.request(
      { host: HOST, port, method: 'POST', path: '/', agent: false,
        headers: { 'Content-Type': 'application/json' }, timeout: timeoutMs },
      (response) => {
        let text = '';
        response.setEncoding('utf8');
        response.on('data', (chunk) => { text += chunk; });
        response.on('end', () => resolve({ status: response.statusCode, text }));
        response.on('error', reject);
      });
    request.on('timeout', () => request.destroy(new Error('timeout')));
    request.on('error', reject);
    request.end(body);
  });
}

async function waitForNode(port, node) {
  const deadline = Date.now() + STARTUP_TIMEOUT_MS;
  const body = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'eth_chainId', params: [] });
  while (Date.now() < deadline) {
    if (node.exitCode !== null || node.signalCode !== null) {
      throw new Error(`the node exited during start-up (status ${node.exitCode}, signal ${node.signalCode})`);
    }
    try {
      const answer = await rawCall(port, body, 1_000);
      if (answer.status === 200) return;
    } catch {
      // not listening yet
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`the node did not answer on port ${port} within ${STARTUP_TIMEOUT_MS} ms`);
}

function waitForExit(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve({ code: child.exitCode, signal: child.signalCode });
  }
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), ms);
    child.once('exit', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal });
    });
  });
}

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

async function session(url) {
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
    // Without a base fee in its blocks ethers picks a legacy (EIP-155) transfer.
    const legacy = await transfer(provider, first, { to: RECIPIENT, value: ruz('1') }, 1,
      'legacy transfer');
    checkEqual(legacy.type, 0, 'ethers chose a legacy transfer');
    checkEqual(await step(provider.getBalance(RECIPIENT), 'getBalance'), ruz('0.98'),
      'the recipient gets 1 RUZ less the 2% fee');
    // With no staked validator the sender is the block's validator and gets
    // back the validator's 0.4% of the fee.
    checkEqual(await step(provider.getBalance(first.address), 'getBalance'), ruz('99.004'),
      'the sender paid 1 RUZ and got the validator share back');
    checkEqual(await step(provider.getTransactionCount(first.address), 'getTransactionCount'), 1,
      'the sender\'s nonce');
    checkEqual(await step(provider.getBlockNumber(), 'getBlockNumber'), 1, 'height after one transfer');

    // A dynamic-fee (type 2) transfer, signed here and broadcast: its raw
    // bytes are kept to replay them below.
    const populated = await step(first.populateTransaction({
      to: RECIPIENT, value: ruz('1'), type: 2,
      maxFeePerGas: ethers.parseUnits('2', 'gwei'), maxPriorityFeePerGas: ethers.parseUnits('1', 'gwei'),
    }), 'populateTransaction');
    checkEqual(populated.chainId, BigInt(CHAIN_ID), 'the wallet signs for the node\'s chain');
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

async function main() {
  const [binary, workDir] = process.argv.slice(2);
  if (!binary || !workDir) {
    console.log('usage: node ethers_wallet.mjs <rozeve binary> <work dir>');
    return 1;
  }
  fs.mkdirSync(workDir, { recursive: true });
  const home = fs.mkdtempSync(path.join(path.resolve(workDir), 'ethers-wallet-'));
  const [rpcPort, p2pPort] = await freePorts(2);
  const node = spawn(path.resolve(binary),
    ['node', '--bind', HOST, '--rpc-port', String(rpcPort), '--p2p-port', String(p2pPort), '--daemon'],
    { cwd: home, stdio: ['ignore', 'pipe', 'pipe'] });
  running = node;
  let console_text = '';
  node.stdout.on('data', (chunk) => { console_text += chunk; });
  node.stderr.on('data', (chunk) => { console_text += chunk; });
  const spawned = new Promise((resolve, reject) => {
    node.once('spawn', resolve);
    node.once('error', reject);
  });

  let ok = true;
  try {
    await withTimeout(spawned, STARTUP_TIMEOUT_MS, 'spawn');
    await waitForNode(rpcPort, node);
    await session(`http://${HOST}:${rpcPort}`);
  } catch (error) {
    console.log(`  FAIL  ${error.stack ?? error}`);
    ok = false;
  }

  if (node.exitCode === null && node.signalCode === null && node.pid !== undefined) {
    node.kill('SIGTERM');
    const exit = await waitForExit(node, STOP_TIMEOUT_MS);
    if (exit === null) {
      node.kill('SIGKILL');
      await waitForExit(node, STOP_TIMEOUT_MS);
      check(false, `the node stops within ${STOP_TIMEOUT_MS} ms of SIGTERM`);
    } else {
      check(exit.code === 0 && exit.signal === null, 'the node exits with status 0 on SIGTERM',
        `status ${exit.code}, signal ${exit.signal}`);
    }
  } else {
    check(false, 'the node was still running at the end',
      `status ${node.exitCode}, signal ${node.signalCode}`);
  }

  if (!ok || failures.length > 0) {
    console.log(`\n${failures.length} check(s) failed${ok ? '' : ' and the session stopped early'}:`);
    for (const f of failures) console.log(`  - ${f}`);
    console.log(`\nnode console (last 4000 characters):\n${console_text.slice(-4000)}`);
    console.log(`node working directory kept: ${home}`);
    return 1;
  }
  fs.rmSync(home, { recursive: true, force: true });
  console.log('\nall checks passed');
  return 0;
}

const watchdog = setTimeout(() => {
  console.log(`FAIL  the run took more than ${RUN_TIMEOUT_MS} ms`);
  if (running && running.exitCode === null && running.signalCode === null) running.kill('SIGKILL');
  process.exit(1);
}, RUN_TIMEOUT_MS);
watchdog.unref();
process.exitCode = await main().catch((error) => {
  console.log(`FAIL  ${error.stack ?? error}`);
  return 1;
});
process.exit(process.exitCode);
